// tarnel: the desktop program.
#include <QApplication>

#include "app/pellgrave_app.h"
#include "common/platform.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QCoreApplication::setOrganizationName("Tarnel");
  QCoreApplication::setApplicationName("Tarnel");
  // No core dump while keys are held; ended by a signal, a run leaves no partial file behind.
  tarnel::HardenProcess();
  tarnel::app::CPellgraveApp app;
  return app.Run();
}
