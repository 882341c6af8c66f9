// The main window: start-up, layout, the board type, the Browse commands with
// their remembered paths, Save config as, the close question, Enter and About.
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <filesystem>

#include "app_test_support.h"
#include "build_info.h"
#include "common/paths.h"
#include "common/platform.h"

using namespace tarnel;
using namespace tarnel::app;
using namespace tarnel::app::test;
using tarnel::test::ReadText;
using tarnel::test::SharedKeyListText;
using tarnel::test::WriteText;

namespace {

QString Setting(const char* key) {
  QSettings settings;
  settings.beginGroup("Tarnel");
  return settings.value(key).toString();
}

void SetSetting(const char* key, const QString& value) {
  QSettings settings;
  settings.beginGroup("Tarnel");
  settings.setValue(key, value);
}

// A table of three complete rows next to the program folder.
std::string WriteSampleTable(const DialogFixture& f, const std::string& name = "PartConfig.xml") {
  const std::string folder = f.home.root.Path() + "tables/";
  std::filesystem::create_directories(folder);
  WriteTableFile(folder + name, {{"1", "kernel", "Non-File System", "EMMC_8G", "No", "kernel.bin"},
                                 {"0", "system", "Ext4 File System", "NAND_2K", "Yes", "C:\\img\\system.img"},
                                 {"1", "boot", "Fastboot", "NAND_4K", "No", ""}});
  return folder + name;
}

// Asks the window to close while `act` answers the real message box that the
// close brings up. Whether a box came, and whether the window closed.
struct CloseResult {
  bool asked = false;
  bool closed = false;
};
CloseResult CloseAnswering(CPellgraveDlg& dlg, const std::function<void(QMessageBox*)>& act) {
  CloseResult result;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || result.asked) return;
    result.asked = true;
    act(box);
  });
  timer.start(10);
  result.closed = dlg.close();
  return result;
}

}  // namespace

class PellgraveDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ClearSettings(); }

  void startupEndsWhenConfigOrJreIsMissing() {
    {
      DialogFixture f(false, false);
      QVERIFY(!f.dlg->Startup());
      QCOMPARE(f.ui.Texts(), QStringList{"\"" + Q(f.home.appDir) + "Config\" not find!"});
      QCOMPARE(f.ui.messages[0].caption, QString("Tarnel"));
      QVERIFY(!IsFolder(f.home.appDir + "Temp"));
    }
    {
      // Java is needed at start only when it signs every upgrade archive.
      DialogFixture f(true, false);
      QVERIFY(f.dlg->Startup());
      QVERIFY(f.ui.Texts().isEmpty());
      f.ws.app.m_archiveSigner = ArchiveSigner::Java;
      QVERIFY(!f.dlg->Startup());
      QCOMPARE(f.ui.Texts(), QStringList{"\"" + Q(f.home.appDir) + "jre\" not find!"});
    }
    {
      DialogFixture f(false, true);
      QVERIFY(!f.dlg->Startup());
      QCOMPARE(f.ui.Texts(), QStringList{"\"" + Q(f.home.appDir) + "Config\" not find!"});
    }
  }

  void startupState() {
    SetSetting("ConfigFile", "/remembered/PartConfig.xml");  // seeds choosers only
    DialogFixture f;
    QVERIFY(f.Start());
    CPellgraveDlg& d = *f.dlg;
    QVERIFY(f.ui.messages.empty());
    // The version is the project's, the same that tarnel-cli --version prints.
    QCOMPARE(d.windowTitle(), QString("Tarnel V") + kVersion);
    QCOMPARE(d.size(), QSize(760, 570));
    QCOMPARE(d.BoardTypeBox()->count(), 6);
    QCOMPARE(d.BoardTypeBox()->currentIndex(), 0);
    QCOMPARE(d.BoardTypeBox()->itemText(5), QString("Qm5820SB400"));
    QCOMPARE(d.ConfigBrowseButton()->text(), QString("Browse..."));
    QCOMPARE(d.DefaultOutputBox()->text(), QString("Default Output Path:"));
    QVERIFY(!d.DefaultOutputBox()->isChecked());
    QCOMPARE(d.MakeButton()->text(), QString("Make"));
    QCOMPARE(d.SaveConfigButton()->text(), QString("Save config as"));
    QCOMPARE(d.CancelButton()->text(), QString("Cancel"));
    QVERIFY(d.CancelButton()->isHidden());
    QVERIFY(d.ConfigPathBox()->text().isEmpty() && d.KeysPathBox()->text().isEmpty() &&
            d.OutputPathBox()->text().isEmpty());
    QVERIFY(d.ConfigPathBox()->isReadOnly());
    for (QWidget* control : d.MakeControls()) QVERIFY(control->isEnabled());
    QVERIFY(IsFolder(f.home.appDir + "Temp") && IsFolder(f.home.appDir + "Output"));
    QCOMPARE(f.ws.flashTable.size(), size_t{4});
    QCOMPARE(f.ws.flashTable[3].strFlashName, std::string("EMMC_8G"));
    QCOMPARE(d.List()->FlashNameOptions(), (QStringList{"NAND_2K", "NAND_4K", "SPI_16M", "EMMC_8G"}));
    QCOMPARE(d.List()->FileTypeOptions(), (QStringList{"None", "Fastboot", "Non-File System", "yaffs File System",
                                                       "Ext4 File System"}));
    QCOMPARE(d.List()->model()->rowCount(), 0);
    QVERIFY(!f.ws.table.m_bModified);
  }

  void layoutFollowsEveryResize() {
    DialogFixture f;
    QVERIFY(f.Start());
    CPellgraveDlg& d = *f.dlg;
    for (QSize size : {QSize(760, 570), QSize(1001, 703)}) {
      d.resize(size);
      const int w = size.width();
      const int h = size.height();
      QCOMPARE(d.BoardTypeBox()->geometry(), QRect(90, 20, 105, 16));
      QCOMPARE(d.ConfigPathBox()->geometry(), QRect(22, 77, w - 112, 22));
      QCOMPARE(d.ConfigBrowseButton()->geometry(), QRect(w - 80, 76, 70, 24));
      QCOMPARE(d.KeysPathBox()->geometry(), QRect(22, 125, w - 112, 22));
      QCOMPARE(d.KeysBrowseButton()->geometry(), QRect(w - 80, 124, 70, 24));
      QCOMPARE(d.DefaultOutputBox()->geometry(), QRect(10, 150, 180, 16));
      QCOMPARE(d.OutputPathBox()->geometry(), QRect(22, 171, w - 112, 22));
      QCOMPARE(d.OutputBrowseButton()->geometry(), QRect(w - 80, 170, 70, 24));
      QCOMPARE(d.List()->geometry(), QRect(10, 204, w - 20, h - 271));
      QCOMPARE(d.MakeButton()->geometry(), QRect(w / 4 - 50, h - 62, 100, 24));
      QCOMPARE(d.SaveConfigButton()->geometry(), QRect(3 * (w / 4) - 50, h - 62, 100, 24));
      QCOMPARE(d.ProgressBar()->geometry(), QRect(10, h - 28, w - 20, 18));
      int others = 0;
      for (int c = 0; c < 7; ++c) others += c == 5 ? 0 : d.List()->columnWidth(c);
      QCOMPARE(d.List()->columnWidth(5), d.List()->viewport()->width() - others);
    }
  }

  void boardTypeChangeEmptiesFileTypesWithoutMarkingTheTable() {
    DialogFixture f;
    QVERIFY(f.Start());
    f.ui.paths.push_back(Q(WriteSampleTable(f)));
    f.dlg->OnConfigBrowse();
    QCOMPARE(f.ws.table.rows.size(), size_t{3});
    QVERIFY(!f.ws.table.m_bModified);
    ClickCell(f.dlg->List(), 0, kColOutputName);

    f.dlg->BoardTypeBox()->setCurrentIndex(2);
    QCOMPARE(f.ws.app.m_nBoardType, 2);
    for (const PartitionRow& row : f.ws.table.rows) QVERIFY(row.fileType.empty());
    QCOMPARE(f.ws.table.rows[0].flashName, std::string("EMMC_8G"));
    QVERIFY(!f.ws.table.m_bModified);
    QCOMPARE(f.dlg->List()->FileTypeOptions(),
             (QStringList{"None", "Fastboot", "Non-File System", "Ubi File System", "Ext4 File System"}));
    QCOMPARE(f.dlg->List()->FileTypeEditor()->count(), 5);
    QCOMPARE(f.dlg->List()->FileTypeEditor()->currentIndex(), -1);

    f.dlg->BoardTypeBox()->setCurrentIndex(1);
    QCOMPARE(f.dlg->List()->FileTypeOptions()[3], QString("yaffs File System"));
    // Only the board type changed: closing asks nothing.
    f.dlg->close();
    QVERIFY(f.ui.messages.empty());
  }

  void configBrowseLoadsTheTableAndRemembersThePath() {
    DialogFixture f;
    QVERIFY(f.Start());
    const std::string table = WriteSampleTable(f);
    f.ui.paths.push_back(Q(table));
    QTest::mouseClick(f.dlg->ConfigBrowseButton(), Qt::LeftButton);
    QCOMPARE(f.ui.choosers.size(), size_t{1});
    const ChooserRequest& first = f.ui.choosers[0];
    QCOMPARE(first.kind, ChooserKind::OpenFile);
    QCOMPARE(first.fileName, QString("PartConfig.xml"));
    QCOMPARE(first.folder, Q(f.home.appDir + "Config"));
    QCOMPARE(first.filters, (QStringList{"*.xml", "All Files(*)"}));
    QCOMPARE(f.dlg->ConfigPathBox()->text(), Q(table));
    QCOMPARE(f.ws.app.m_strInputDir, f.home.root.Path() + "tables/");
    QCOMPARE(Setting("ConfigFile"), Q(table));
    QCOMPARE(f.dlg->List()->model()->rowCount(), 3);
    QVERIFY(f.dlg->List()->DeleteButton(2) != nullptr);
    // Unsigned files are looked for next to the table.
    QCOMPARE(f.ws.table.rows[1].unsignedFile, f.home.root.Path() + "tables/system.img");

    // The next chooser starts from the remembered file.
    const std::string bad = f.home.root.Path() + "broken/bad.xml";
    std::filesystem::create_directories(f.home.root.Path() + "broken");
    WriteText(bad, "not xml at all <");
    f.ui.paths.push_back(Q(bad));
    f.dlg->OnConfigBrowse();
    QCOMPARE(f.ui.choosers[1].fileName, QString("PartConfig.xml"));
    QCOMPARE(f.ui.choosers[1].folder, Q(f.home.root.Path() + "tables/"));
    // A failed load records its path but changes nothing else.
    QCOMPARE(f.ui.Texts(), QStringList{"Failed to open the partition config file!"});
    QCOMPARE(Setting("ConfigFile"), Q(bad));
    QCOMPARE(f.dlg->ConfigPathBox()->text(), Q(table));
    QCOMPARE(f.ws.app.m_strInputDir, f.home.root.Path() + "tables/");
    QCOMPARE(f.ws.table.rows.size(), size_t{3});

    // A remembered text without a separator is the start folder only.
    SetSetting("ConfigFile", "plainfolder");
    f.dlg->OnConfigBrowse();
    QCOMPARE(f.ui.choosers[2].folder, QString("plainfolder"));
    QVERIFY(f.ui.choosers[2].fileName.isEmpty());
  }

  void configBrowseKeepsTheEditedRowWhenTheFileIsRefused() {
    DialogFixture f;
    QVERIFY(f.Start());
    f.ui.paths.push_back(Q(WriteSampleTable(f)));
    f.dlg->OnConfigBrowse();
    ClickCell(f.dlg->List(), 1, kColOutputName);
    const std::string other = f.home.root.Path() + "other.xml";
    WriteText(other, "<?xml version=\"1.0\"?><SomethingElse/>");
    f.ui.paths.push_back(Q(other));
    f.dlg->OnConfigBrowse();
    QCOMPARE(f.ui.Texts(), QStringList{"Invalid the partition config file!"});
    QCOMPARE(f.dlg->List()->EditorRow(), 1);
    QCOMPARE(f.ws.table.m_nCurRow, 1);
  }

  void configBrowseRefusedRowOnTheBoardKeepsTheRowsRead() {
    DialogFixture f;
    QVERIFY(f.Start());
    const std::string path = f.home.root.Path() + "ubi.xml";
    WriteTableFile(path, {{"1", "a", "None", "EMMC_8G", "No", ""}, {"1", "b", "Ubi File System", "EMMC_8G", "No", ""}});
    f.ui.paths.push_back(Q(path));
    f.dlg->OnConfigBrowse();
    QCOMPARE(f.ui.Texts(), QStringList{"RA100 not Support Ubi File System "});
    QCOMPARE(f.ui.messages[0].caption, QString("Error"));
    QCOMPARE(f.ui.messages[0].icon, QMessageBox::Critical);
    QCOMPARE(f.dlg->List()->model()->rowCount(), 2);  // the view shows what the table holds
    QVERIFY(f.dlg->ConfigPathBox()->text().isEmpty());
    QVERIFY(f.ws.app.m_strInputDir.empty());
  }

  void keysBrowseFailureStillRecordsFolderAndPath() {
    DialogFixture f;
    QVERIFY(f.Start());
    const std::string bad = f.home.root.Path() + "badkeys/keys.txt";
    std::filesystem::create_directories(f.home.root.Path() + "badkeys");
    WriteText(bad, "only one line\n");
    f.ui.paths.push_back(Q(bad));
    QTest::mouseClick(f.dlg->KeysBrowseButton(), Qt::LeftButton);
    QCOMPARE(f.ui.choosers[0].fileName, QString("Keys_for_signature.txt"));
    QCOMPARE(f.ui.choosers[0].folder, Q(f.home.appDir + "Config"));
    QCOMPARE(f.ui.choosers[0].filters, (QStringList{"*.txt", "All Files(*)"}));
    QCOMPARE(f.ui.messages.size(), size_t{1});
    QCOMPARE(f.ws.app.m_strInputDir, f.home.root.Path() + "badkeys/");
    QCOMPARE(Setting("KeysFile"), Q(bad));
    QVERIFY(f.dlg->KeysPathBox()->text().isEmpty());
    QVERIFY(f.ws.app.m_strKeysFile.empty());

    const std::string good = f.home.root.Path() + "keys/Keys_for_signature.txt";
    std::filesystem::create_directories(f.home.root.Path() + "keys");
    WriteText(good, SharedKeyListText());
    f.ui.paths.push_back(Q(good));
    f.dlg->OnKeysBrowse();
    QCOMPARE(f.ui.choosers[1].folder, Q(f.home.root.Path() + "badkeys/"));
    QCOMPARE(f.ui.choosers[1].fileName, QString("keys.txt"));
    QCOMPARE(f.ui.messages.size(), size_t{1});
    QCOMPARE(f.dlg->KeysPathBox()->text(), Q(good));
    QCOMPARE(f.ws.app.m_strKeysFile, good);
    QCOMPARE(f.ws.keyLines.size(), size_t{23});
  }

  void outputBrowseAndDefaultOutputToggle() {
    DialogFixture f;
    QVERIFY(f.Start());
    const std::string out = f.home.root.Path() + "out";
    std::filesystem::create_directories(out);
    f.ui.paths.push_back(Q(out));
    QTest::mouseClick(f.dlg->OutputBrowseButton(), Qt::LeftButton);
    QCOMPARE(f.ui.choosers[0].kind, ChooserKind::Folder);
    QCOMPARE(f.ui.choosers[0].title, QString("选择输出路径："));
    QCOMPARE(f.ui.choosers[0].folder, Q(f.home.appDir + "Config"));
    QCOMPARE(f.dlg->OutputPathBox()->text(), Q(out + "/"));
    QCOMPARE(f.ws.app.m_strOutputPath, out + "/");
    QCOMPARE(Setting("OutputPath"), Q(out + "/"));

    // A folder that already ends with its separator gets none added; the
    // chooser opens on the remembered folder.
    f.ui.paths.push_back("/");
    f.dlg->OnOutputBrowse();
    QCOMPARE(f.ui.choosers[1].folder, Q(out + "/"));
    QCOMPARE(f.ws.app.m_strOutputPath, std::string("/"));
    // Something that is no folder is ignored.
    f.ui.paths.push_back(Q(f.home.root.Path() + "missing"));
    f.dlg->OnOutputBrowse();
    QCOMPARE(f.ws.app.m_strOutputPath, std::string("/"));

    QTest::mouseClick(f.dlg->DefaultOutputBox(), Qt::LeftButton, {}, QPoint(5, 8));
    QVERIFY(f.dlg->DefaultOutputBox()->isChecked());
    QCOMPARE(f.dlg->OutputPathBox()->text(), Q(f.home.appDir + "Output/"));
    QCOMPARE(f.ws.app.m_strOutputPath, f.home.appDir + "Output/");
    QVERIFY(!f.dlg->OutputBrowseButton()->isEnabled());
    f.dlg->OnOutputBrowse();  // does nothing while checked
    QCOMPARE(f.ui.choosers.size(), size_t{3});
    QCOMPARE(Setting("OutputPath"), QString("/"));

    QTest::mouseClick(f.dlg->DefaultOutputBox(), Qt::LeftButton, {}, QPoint(5, 8));
    QVERIFY(f.dlg->OutputPathBox()->text().isEmpty());
    QVERIFY(f.ws.app.m_strOutputPath.empty());
    QVERIFY(f.dlg->OutputBrowseButton()->isEnabled());
  }

  void saveConfigAsWritesTheTable() {
    DialogFixture f;
    QVERIFY(f.Start());
    const std::string target = f.home.root.Path() + "saved.xml";
    f.ui.paths.push_back(Q(target));
    QTest::mouseClick(f.dlg->SaveConfigButton(), Qt::LeftButton);
    const ChooserRequest& request = f.ui.choosers[0];
    QCOMPARE(request.kind, ChooserKind::SaveFile);
    QCOMPARE(request.fileName, QString("PartConfig.xml"));
    QCOMPARE(request.folder, Q(f.home.appDir + "/Input"));
    QCOMPARE(request.filters, QStringList{"*.xml"});
    QCOMPARE(request.defaultSuffix, QString("xml"));
    QVERIFY(request.confirmOverwrite);
    QVERIFY(!std::filesystem::exists(target));  // an empty table writes nothing

    f.dlg->List()->AddRow();
    f.ui.paths.push_back(Q(target));
    f.dlg->OnSaveConfigAs();
    QVERIFY(ReadText(target).find("OutputName=\"Part 00\"") != std::string::npos);
    QVERIFY(!f.ws.table.m_bModified);
    QVERIFY(f.ui.messages.empty());

    // A file that cannot be written is reported and the table stays marked.
    f.dlg->List()->AddRow();
    f.ui.paths.push_back(Q(f.home.root.Path() + "no/such/folder/t.xml"));
    QVERIFY(!f.dlg->OnSaveConfigAs());
    QCOMPARE(f.ui.messages.size(), size_t{1});
    QVERIFY(f.ui.messages[0].text.contains("no/such/folder/t.xml"));
    QVERIFY(f.ws.table.m_bModified);
  }

  void closeAsksOnlyWhenTheTableChanged() {
    {
      DialogFixture f;
      QVERIFY(f.Start());
      QVERIFY(f.dlg->close());
      QVERIFY(f.ui.messages.empty());
      QVERIFY(!f.dlg->isVisible());
    }
    {
      DialogFixture f;
      QVERIFY(f.Start());
      f.dlg->List()->AddRow();
      f.ui.answers.push_back(QMessageBox::No);
      QVERIFY(f.dlg->close());
      QCOMPARE(f.ui.Texts(), QStringList{"Save partition table changes to file?"});
      QCOMPARE(f.ui.messages[0].caption, QString("Save Tip"));
      QCOMPARE(f.ui.messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
      QVERIFY(f.ui.choosers.empty());
    }
    {
      DialogFixture f;
      QVERIFY(f.Start());
      f.dlg->List()->AddRow();
      const std::string target = f.home.root.Path() + "onclose.xml";
      f.ui.answers.push_back(QMessageBox::Yes);
      f.ui.paths.push_back(Q(target));
      QTest::keyClick(f.dlg.get(), Qt::Key_Escape);  // the same way as the close box
      QVERIFY(!f.dlg->isVisible());
      QVERIFY(std::filesystem::exists(target));
    }
  }

  void closeQuestionEscapeCloseBoxAndCancelledChooserKeepTheEdits() {
    DialogFixture f;
    UiHooks hooks = f.ui.Hooks();
    hooks.message = UiHooks::Interactive().message;  // the real question box
    f.dlg = std::make_unique<CPellgraveDlg>(f.ws, hooks);
    QVERIFY(f.Start());
    f.dlg->List()->AddRow();
    QList<QMessageBox::StandardButton> shown;
    const std::function<void(QMessageBox*)> cancels[] = {
        [&shown](QMessageBox* box) {
          for (QAbstractButton* button : box->buttons())
            if (button->isVisible()) shown << box->standardButton(button);
          QTest::keyClick(box, Qt::Key_Escape);
        },
        [](QMessageBox* box) { box->close(); },  // its own close box
        [](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); },  // the chooser is cancelled
    };
    for (const auto& act : cancels) {
      const CloseResult r = CloseAnswering(*f.dlg, act);
      QVERIFY(r.asked);
      QVERIFY(!r.closed);
      QVERIFY(f.dlg->isVisible());
      QVERIFY(f.ws.table.m_bModified);
    }
    QCOMPARE(shown, (QList<QMessageBox::StandardButton>{QMessageBox::Yes, QMessageBox::No}));
    QCOMPARE(f.ui.choosers.size(), size_t{1});
    const CloseResult no = CloseAnswering(*f.dlg, [](QMessageBox* box) { box->button(QMessageBox::No)->click(); });
    QVERIFY(no.asked && no.closed);
    QVERIFY(!f.dlg->isVisible());
  }

  void escapeInAnEditorEndsTheEditOnly() {
    DialogFixture f;
    QVERIFY(f.Start());
    f.ui.paths.push_back(Q(WriteSampleTable(f)));
    f.dlg->OnConfigBrowse();
    CListCtrlEx* list = f.dlg->List();
    ClickCell(list, 1, kColOutputName);
    QTest::keyClicks(list->OutputNameEditor(), "2");
    QTest::keyClick(list->OutputNameEditor(), Qt::Key_Escape);
    QCOMPARE(list->EditorRow(), -1);
    QCOMPARE(f.ws.table.rows[1].outputName, std::string("system2"));
    ClickCell(list, 0, kColFileType);
    QTest::keyClick(list->FileTypeEditor(), Qt::Key_Escape);
    QCOMPARE(list->EditorRow(), -1);
    QVERIFY(f.ui.messages.empty());
    QVERIFY(f.dlg->isVisible());
    QVERIFY(f.ws.table.m_bModified);
  }

  void wheelOverTheBoardListChangesNothing() {
    DialogFixture f;
    QVERIFY(f.Start());
    f.ui.paths.push_back(Q(WriteSampleTable(f)));
    f.dlg->OnConfigBrowse();
    TurnWheel(f.dlg->BoardTypeBox(), -1);
    ClickCell(f.dlg->List(), 0, kColOutputName);
    TurnWheel(f.dlg->BoardTypeBox(), -1);
    QCOMPARE(f.dlg->BoardTypeBox()->currentIndex(), 0);
    QCOMPARE(f.ws.app.m_nBoardType, 0);
    QCOMPARE(f.ws.table.rows[1].fileType, std::string("Ext4 File System"));
    QCOMPARE(f.dlg->List()->FileTypeEditor()->currentText(), QString("Non-File System"));
    QVERIFY(!f.ws.table.m_bModified);
  }

  void allFilesListsFilesWithoutADot() {
    DialogFixture f;
    QVERIFY(f.Start());
    const std::string folder = f.home.root.Path() + "inputs";
    std::filesystem::create_directories(folder);
    WriteText(folder + "/keys.txt", "");
    WriteText(folder + "/Keys_for_signature", "");
    f.dlg->OnConfigBrowse();
    f.dlg->OnKeysBrowse();
    QCOMPARE(f.ui.choosers.size(), size_t{2});
    for (const ChooserRequest& request : f.ui.choosers) {
      // The toolkit's chooser, with the request's filters and "All Files" picked.
      QFileDialog chooser(nullptr, QString(), Q(folder));
      chooser.setOption(QFileDialog::DontUseNativeDialog);
      auto* files = chooser.findChild<QFileSystemModel*>();
      QVERIFY(files != nullptr);
      QSignalSpy loaded(files, &QFileSystemModel::directoryLoaded);
      chooser.setNameFilters(request.filters);
      chooser.selectNameFilter(request.filters.last());
      QVERIFY(loaded.wait(5000));
      QVERIFY(files->index(Q(folder + "/keys.txt")).isValid());
      QVERIFY(files->index(Q(folder + "/Keys_for_signature")).isValid());
    }
  }

  void enterDoesNothing() {
    DialogFixture f;
    QVERIFY(f.Start());
    f.dlg->MakeButton()->setFocus();
    QTest::keyClick(f.dlg->MakeButton(), Qt::Key_Return);
    QTest::keyClick(f.dlg.get(), Qt::Key_Enter);
    f.dlg->ConfigPathBox()->setFocus();
    QTest::keyClick(f.dlg->ConfigPathBox(), Qt::Key_Return);
    QVERIFY(f.dlg->isVisible());
    QVERIFY(f.ui.messages.empty());
    QVERIFY(f.ui.choosers.empty());
    QVERIFY(!f.dlg->IsMaking());
  }

  // Keyboard only over a full table: the table is one Tab stop whose rows
  // the arrows walk with the editors on the current row; F2 reaches the
  // row's fields, Tab goes on to Make; Delete, Insert and Ctrl+O act on the
  // current row.
  void keyboardWalksAFullTableWithoutATrap() {
    DialogFixture f;
    QVERIFY(f.Start());
    f.dlg->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f.dlg.get()));
    std::vector<TableRowText> rows;
    for (int i = 0; i < 64; ++i)
      rows.push_back({"1", "p" + std::to_string(i), "Non-File System", "EMMC_8G", "No", "/in/p.bin"});
    const std::string path = f.home.root.Path() + "full.xml";
    WriteTableFile(path, rows);
    f.ui.paths.push_back(Q(path));
    f.dlg->findChild<QPushButton*>("configBrowse")->click();
    auto* table = f.dlg->findChild<CListCtrlEx*>("partitionTable");
    QCOMPARE(table->model()->rowCount(), 64);
    const auto focused = [] { return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString(); };
    const auto press = [](int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
      QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(key), mods);
    };
    const auto editorText = [&] { return table->findChild<QLineEdit*>("outputNameEditor")->text(); };

    f.dlg->findChild<QComboBox*>("boardType")->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < 12 && focused() != "partitionTable"; ++i) press(Qt::Key_Tab);
    QCOMPARE(focused(), QString("partitionTable"));
    QCOMPARE(table->currentIndex().row(), 0);
    QCOMPARE(editorText(), QString("p0"));
    for (int i = 0; i < 40; ++i) press(Qt::Key_Down);
    QCOMPARE(table->currentIndex().row(), 40);
    QCOMPARE(editorText(), QString("p40"));
    press(Qt::Key_Tab);
    QCOMPARE(focused(), QString("make"));
    press(Qt::Key_Tab, Qt::ShiftModifier);
    QCOMPARE(focused(), QString("partitionTable"));

    press(Qt::Key_F2);
    QCOMPARE(focused(), QString("outputNameEditor"));
    QStringList walk;
    for (int i = 0; i < 6; ++i) {
      press(Qt::Key_Tab);
      walk << focused();
    }
    QCOMPARE(walk, (QStringList{"fileTypeEditor", "flashNameEditor", "upgradeEditor", "unsignedFileEditor",
                                "unsignedFileBrowse", "make"}));
    QVERIFY(f.ui.messages.empty());

    press(Qt::Key_Tab, Qt::ShiftModifier);
    press(Qt::Key_Delete);
    QCOMPARE(f.ws.table.rows.size(), size_t{63});
    QCOMPARE(f.ws.table.rows[40].outputName, std::string("p41"));
    QCOMPARE(table->currentIndex().row(), 40);
    QCOMPARE(editorText(), QString("p41"));
    press(Qt::Key_Insert);
    QCOMPARE(f.ws.table.rows.size(), size_t{64});
    QCOMPARE(table->currentIndex().row(), 63);
    QCOMPARE(editorText(), QString("Part 63"));
    QVERIFY(table->viewport()->rect().contains(table->visualRect(table->model()->index(63, kColOutputName))));
    QCOMPARE(focused(), QString("partitionTable"));
    press(Qt::Key_Insert);
    QCOMPARE(f.ui.Texts(), QStringList{"Only allowed to add 64 files"});

    const std::string before = f.ws.table.rows[62].unsignedFile;
    f.ui.paths.push_back("/img/new.bin");
    press(Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(f.ws.table.rows[63].unsignedFile, std::string("/img/new.bin"));
    QCOMPARE(f.ws.table.rows[62].unsignedFile, before);

    // Ctrl+Space does what a click on the check column's header does, from
    // the table and from the row's editors; the new row started unticked.
    QVERIFY(!f.ws.table.rows[63].checked);
    press(Qt::Key_Space, Qt::ControlModifier);
    for (const PartitionRow& r : f.ws.table.rows) QVERIFY(r.checked);
    press(Qt::Key_F2);
    press(Qt::Key_Space, Qt::ControlModifier);
    for (const PartitionRow& r : f.ws.table.rows) QVERIFY(!r.checked);
  }

  // Every control the keyboard reaches, and the bar, has a name for
  // assistive technology; the three Browse buttons say what they browse.
  void everyControlHasAnAccessibleName() {
    DialogFixture f;
    QVERIFY(f.Start());
    f.ui.paths.push_back(Q(WriteSampleTable(f)));
    f.dlg->findChild<QPushButton*>("configBrowse")->click();
    ClickCell(f.dlg->findChild<CListCtrlEx*>("partitionTable"), 0, kColOutputName);
    const auto name = [](QWidget* w) {
      QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
      return a ? a->text(QAccessible::Name) : QString();
    };
    for (QWidget* w : f.dlg->findChildren<QWidget*>()) {
      if (!w->isVisible() || (w->focusPolicy() == Qt::NoFocus && !qobject_cast<QProgressBar*>(w))) continue;
      if (qobject_cast<QAbstractScrollArea*>(w->parentWidget())) continue;  // a scroll area's own viewport
      QVERIFY2(!name(w).trimmed().isEmpty(), qPrintable(w->objectName() + " " + w->metaObject()->className()));
    }
    QStringList browse;
    for (const char* b : {"configBrowse", "keysBrowse", "outputBrowse"})
      browse << name(f.dlg->findChild<QPushButton*>(b));
    QCOMPARE(QSet<QString>(browse.begin(), browse.end()).size(), 3);
  }

  // The window and its minimum size fit the screen's available area, also
  // at twice the scale (run again with QT_SCALE_FACTOR=2).
  void windowFitsTheScreen() {
    DialogFixture f;
    QVERIFY(f.Start());
    const QRect area = f.dlg->screen()->availableGeometry();
    QVERIFY2(area.contains(f.dlg->frameGeometry()), qPrintable(QString("%1x%2 in %3x%4")
                                                                  .arg(f.dlg->frameGeometry().width())
                                                                  .arg(f.dlg->frameGeometry().height())
                                                                  .arg(area.width())
                                                                  .arg(area.height())));
    QVERIFY(f.dlg->minimumWidth() <= area.width() && f.dlg->minimumHeight() <= area.height());
    QVERIFY(f.dlg->minimumWidth() > 0 && f.dlg->minimumHeight() > 0);
    // Nothing overlaps or leaves the window: the table keeps a height of its own.
    auto* table = f.dlg->findChild<CListCtrlEx*>("partitionTable");
    QVERIFY(table->height() > 0);
    QVERIFY(f.dlg->rect().contains(f.dlg->findChild<QProgressBar*>("progress")->geometry()));
  }

  // The table's frame is drawn whole on all four sides, also at fractional
  // scales (run again with QT_SCALE_FACTOR=1.5): the right and bottom edges
  // look like the left and top ones.
  void tableFrameIsWhole() {
    DialogFixture f;
    QVERIFY(f.Start());
    auto* table = f.dlg->findChild<CListCtrlEx*>("partitionTable");
    const QImage image = f.dlg->grab().toImage();
    const qreal dpr = image.devicePixelRatio();
    const QRect r = table->geometry();
    const int left = qRound(r.left() * dpr), top = qRound(r.top() * dpr);
    const int right = qRound((r.right() + 1) * dpr) - 1, bottom = qRound((r.bottom() + 1) * dpr) - 1;
    // The frame's colour, from the middle of its left edge.
    const QRgb frame = image.pixel(left, (top + bottom) / 2);
    QVERIFY(frame != image.pixel(left - 1, (top + bottom) / 2));
    const auto edgeAt = [&](int x, int y) { return image.pixel(x, y) == frame; };
    QVERIFY(edgeAt((left + right) / 2, top) || edgeAt((left + right) / 2, top + 1));
    QVERIFY(edgeAt(right, (top + bottom) / 2) || edgeAt(right - 1, (top + bottom) / 2));
    QVERIFY(edgeAt((left + right) / 2, bottom) || edgeAt((left + right) / 2, bottom - 1));
  }

  // The installed program's per-user folder (hidden, under XDG_DATA_HOME):
  // a damaged one says how to have it made afresh; the choosers never start
  // inside it but in the user's documents, then in the folder last used.
  void installedPerUserFolder() {
    namespace fs = std::filesystem;
    tarnel::test::TempFolder data;
    tarnel::test::EnvGuard xdg("XDG_DATA_HOME", (data.Path() + ".local/share").c_str());
    const std::string user = data.Path() + ".local/share/tarnel/";
    {
      DialogFixture f(/*withConfig=*/true, /*withJre=*/false);
      fs::create_directories(user);
      fs::copy(f.home.appDir, user, fs::copy_options::recursive);
      f.ws.app.m_strAppDir = user;
      f.ws.app.m_archiveSigner = tarnel::ArchiveSigner::Java;  // the one signer that needs jre/
      QVERIFY(!f.Start());
      QCOMPARE(f.ui.messages.size(), size_t{1});
      const QStringList lines = f.ui.messages[0].text.split('\n');
      QCOMPARE(lines[0], QString::fromStdString("\"" + user + "jre\" not find!"));
      QVERIFY(f.ui.messages[0].text.contains(QString::fromStdString(user) + " is incomplete. Rename or remove it"));
    }
    fs::create_directories(user + "jre");
    DialogFixture f;
    f.ws.app.m_strAppDir = user;
    QVERIFY(f.Start());
    f.dlg->OnConfigBrowse();
    QCOMPARE(f.ui.choosers.back().folder, QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    const std::string table = WriteSampleTable(f);
    f.ui.paths.push_back(Q(table));
    f.dlg->OnConfigBrowse();
    f.dlg->OnKeysBrowse();
    QCOMPARE(QDir(f.ui.choosers.back().folder), QDir(Q(FolderPart(table))));
    (void)f.dlg->OnSaveConfigAs();
    QCOMPARE(QDir(f.ui.choosers.back().folder), QDir(Q(FolderPart(table))));
  }

  // The window comes back where it was closed, at its size.
  void windowKeepsItsSizeAndPlace() {
    QRect closedAt;
    {
      DialogFixture f;
      QVERIFY(f.Start());
      f.dlg->resize(f.dlg->minimumWidth() + 13, f.dlg->minimumHeight() + 7);
      f.dlg->move(f.dlg->screen()->availableGeometry().topLeft() + QPoint(5, 6));
      closedAt = f.dlg->geometry();
      QVERIFY(f.dlg->close());
    }
    DialogFixture f;
    QVERIFY(f.Start());
    // The place as the platform gives it back (frames differ); the size exactly.
    QCOMPARE(f.dlg->size(), closedAt.size());
    QVERIFY((f.dlg->pos() - closedAt.topLeft()).manhattanLength() < 40);
  }

  void raiseBringsTheWindowBackToItsNormalSize() {
    DialogFixture f;
    QVERIFY(f.Start());
    for (Qt::WindowState state : {Qt::WindowMinimized, Qt::WindowMaximized}) {
      f.dlg->setWindowState(state);
      f.dlg->RaiseWindow();
      QCOMPARE(f.dlg->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized), Qt::WindowStates());
      QVERIFY(f.dlg->isVisible());
    }
  }

  void aboutBox() {
    DialogFixture f;
    QVERIFY(f.Start());
    std::unique_ptr<QDialog> about = f.dlg->CreateAboutBox();
    QCOMPARE(about->windowTitle(), QString("About Tarnel"));
    QCOMPARE(about->findChild<QLabel*>("edition")->text(), QString("Tarnel，%1 Edition").arg(kVersion));
    const QString update = about->findChild<QLabel*>("update")->text();
    QVERIFY2(QRegularExpression("^Update： [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}, [0-9]{2}:[0-9]{2}:[0-9]{2}$")
                 .match(update)
                 .hasMatch(),
             qPrintable(update));
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QTemporaryDir settings;
  UseTemporarySettings(settings.path());
  PellgraveDlgTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "pellgrave_dlg_test.moc"
