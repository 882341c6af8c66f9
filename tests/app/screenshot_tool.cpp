// Renders the main window with a partition table loaded into a PNG, the way
// a person would set it up: board type, Config File, Keys File, the default
// output folder, and a click on one row so its editors show.
//   tarnel-screenshot <program folder> <board index> <table.xml> <keys.txt> <out.png>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPixmap>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include "app/list_ctrl_ex.h"
#include "app/pellgrave_dlg.h"
#include "common/paths.h"

using namespace tarnel;
using namespace tarnel::app;

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  if (argc != 6) {
    std::fprintf(stderr, "usage: tarnel-screenshot <program folder> <board index> <table.xml> <keys.txt> <out.png>\n");
    return 2;
  }
  // Keep the user's own settings out of it.
  QTemporaryDir settings;
  QCoreApplication::setOrganizationName("TarnelScreenshot");
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());

  std::vector<QString> answers = {QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4])};
  UiHooks hooks;
  hooks.message = [](QWidget*, const MessageRequest& request) {
    std::fprintf(stderr, "message: %s\n", qPrintable(request.text));
    return QMessageBox::Ok;
  };
  hooks.choose = [&answers](QWidget*, const ChooserRequest&) {
    if (answers.empty()) return QString();
    QString next = answers.front();
    answers.erase(answers.begin());
    return next;
  };

  Workspace ws;
  ws.app.m_strAppDir = WithTrailingSep(argv[1]);
  CPellgraveDlg dialog(ws, hooks);
  if (!dialog.Startup()) return 1;
  dialog.show();
  if (!QTest::qWaitForWindowExposed(&dialog)) return 1;
  dialog.BoardTypeBox()->setCurrentIndex(QString::fromLocal8Bit(argv[2]).toInt());
  dialog.OnConfigBrowse();
  dialog.OnKeysBrowse();
  dialog.DefaultOutputBox()->click();
  CListCtrlEx* list = dialog.List();
  if (list->model()->rowCount() > 1) {
    const QPoint cell = list->visualRect(list->model()->index(1, kColOutputName)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell);
  }
  QTest::qWait(100);
  if (!dialog.grab().save(QString::fromLocal8Bit(argv[5]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[5]);
    return 1;
  }
  return 0;
}
