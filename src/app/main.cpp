// tarnel: the desktop program.
#include <QApplication>

#include "app/pellgrave_app.h"
#include "common/platform.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QCoreApplication::setOrganizationName("Tarnel");
  QCoreApplication::setApplicationName("Tarnel");
  // Ended by a signal, a run leaves no partial file behind.
  tarnel::InstallInterruptCleanup();
  tarnel::app::CPellgraveApp app;
  return app.Run();
}
