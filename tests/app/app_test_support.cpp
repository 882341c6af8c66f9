#include "app_test_support.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QSettings>
#include <QTest>
#include <QWheelEvent>
#include <QWindow>
#include <QtTest/qtestspontaneevent.h>

#include <filesystem>

namespace tarnel::app::test {

UiHooks FakeUi::Hooks() {
  UiHooks hooks;
  hooks.message = [this](QWidget* parent, const MessageRequest& request) {
    messages.push_back(request);
    if (realBoxes) return UiHooks::Interactive().message(parent, request);
    if (onMessage) onMessage(request);
    if (!answers.empty()) {
      const QMessageBox::StandardButton answer = answers.front();
      answers.pop_front();
      return answer;
    }
    return (request.buttons & QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::No;
  };
  hooks.choose = [this](QWidget*, const ChooserRequest& request) {
    choosers.push_back(request);
    if (paths.empty()) return QString();
    const QString path = paths.front();
    paths.pop_front();
    return path;
  };
  return hooks;
}

QStringList FakeUi::Texts() const {
  QStringList out;
  for (const MessageRequest& m : messages) out << m.text;
  return out;
}

void UseTemporarySettings(const QString& folder) {
  QCoreApplication::setOrganizationName("TarnelTests");
  QCoreApplication::setApplicationName("TarnelTests");
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
  ClearSettings();
}

void ClearSettings() {
  QSettings settings;
  settings.clear();
  settings.sync();
}

std::vector<std::string> TestFlashNames() { return {"NAND_2K", "NAND_4K", "SPI_16M", "EMMC_8G"}; }

ProgramFolder::ProgramFolder(bool withConfig, bool withJre) : appDir(root.Path() + "home/") {
  std::filesystem::create_directories(appDir);
  if (withConfig) {
    std::filesystem::create_directories(appDir + "Config");
    tarnel::test::WriteText(appDir + "Config/FlashConfig.xml",
                            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
                            "<FlashConfigs>\n"
                            "    <Flash Name=\"NAND_2K\" Type=\"Nand\" PageSize=\"2K\" BlockSize=\"128K\" EccType=\"4\" />\n"
                            "    <Flash Name=\"NAND_4K\" Type=\"Nand\" PageSize=\"4K\" BlockSize=\"256K\" EccType=\"24\" />\n"
                            "    <Flash Name=\"SPI_16M\" Type=\"Spi\" PageSize=\"256\" BlockSize=\"64K\" EccType=\"0\" />\n"
                            "    <Flash Name=\"EMMC_8G\" Type=\"eMMC\" PageSize=\"512\" BlockSize=\"512K\" EccType=\"0\" />\n"
                            "</FlashConfigs>\n");
  }
  if (withJre) std::filesystem::create_directories(appDir + "jre/bin");
}

namespace {

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

void WriteTableFile(const std::string& path, const std::vector<TableRowText>& rows) {
  std::string text = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\n<Tarnel_PartConfigs>\n";
  for (const TableRowText& r : rows) {
    text += "    <PartConfig Sel=\"" + XmlEscape(r.sel) + "\" OutputName=\"" + XmlEscape(r.outputName) +
            "\" FileType=\"" + XmlEscape(r.fileType) + "\" FlashName=\"" + XmlEscape(r.flashName) + "\" Upgrade=\"" +
            XmlEscape(r.upgrade) + "\" UnsignedFile=\"" + XmlEscape(r.unsignedFile) + "\" />\n";
  }
  text += "</Tarnel_PartConfigs>\n";
  tarnel::test::WriteText(path, text);
}

DialogFixture::DialogFixture(bool withConfig, bool withJre) : home(withConfig, withJre) {
  ws.app.m_strAppDir = home.appDir;
  dlg = std::make_unique<CPellgraveDlg>(ws, ui.Hooks());
}

DialogFixture::~DialogFixture() { dlg.reset(); }

bool DialogFixture::Start() {
  if (!dlg->Startup()) return false;
  dlg->show();
  return QTest::qWaitForWindowExposed(dlg.get());
}

QPoint CellCentre(const CListCtrlEx* list, int row, int column) {
  return list->visualRect(list->model()->index(row, column)).center();
}

void ClickCell(CListCtrlEx* list, int row, int column) {
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, CellCentre(list, row, column));
}

void ClickCheckBox(CListCtrlEx* list, int row) {
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, list->CheckBoxRect(row).center());
}

void ClickEmptySpace(CListCtrlEx* list) {
  const int rows = list->model()->rowCount();
  const int y = rows == 0 ? 5 : list->visualRect(list->model()->index(rows - 1, 1)).bottom() + 10;
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(150, y));
}

void ClickHeaderSection(QHeaderView* header, int section) {
  const int x = header->sectionViewportPosition(section) + header->sectionSize(section) / 2;
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(x, header->height() / 2));
}

void TurnWheel(QWidget* target, int notches) {
  QWidget* window = target->window();
  const QPoint local = target->mapTo(window, target->rect().center());
  QWheelEvent wheel(local, target->mapToGlobal(target->rect().center()), QPoint(), QPoint(0, 120 * notches),
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  // Spontaneous, like a real wheel: it may move the focus and travels up to
  // the parents of a widget that does not take it. (sendEvent would make it
  // a synthesised event again.)
  QSpontaneKeyEvent::setSpontaneous(&wheel);
  QCoreApplication::instance()->notify(window->windowHandle(), &wheel);
}

}  // namespace tarnel::app::test
