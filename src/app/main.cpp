// tarnel: the desktop program.
#include <QApplication>

#include "app/pellgrave_app.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QCoreApplication::setOrganizationName("Tarnel");
  QCoreApplication::setApplicationName("Tarnel");
  tarnel::app::CPellgraveApp app;
  return app.Run();
}
