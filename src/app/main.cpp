// tarnel: the desktop program.
#include <QApplication>

#include "app/pellgrave_app.h"
#include "common/platform.h"

int main(int argc, char* argv[]) {
  // No core dump while keys are held; ended by a signal, a run leaves no
  // partial file behind. First, before anything has used OpenSSL.
  tarnel::HardenProcess();
  QApplication application(argc, argv);
  QCoreApplication::setOrganizationName("Tarnel");
  QCoreApplication::setApplicationName("Tarnel");
  tarnel::app::CPellgraveApp app;
  return app.Run();
}
