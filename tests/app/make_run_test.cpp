// A whole Make run started from the window over a small later-generation
// workspace: the controls during and after the run, the closing message, the
// signed outputs (checked with OpenSSL and the public key only), and a close
// request while the run is going.
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QElapsedTimer>
#include <QComboBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <deque>
#include <filesystem>

#include "app/messages.h"
#include "app_test_support.h"

using namespace tarnel;
using namespace tarnel::app;
using namespace tarnel::app::test;
using tarnel::test::PatternBytes;
using tarnel::test::ReadBytes;
using tarnel::test::SharedKeyListText;
using tarnel::test::SplitLines;
using tarnel::test::VerifyWithPublicKey;
using tarnel::test::WriteBytes;
using tarnel::test::WriteText;

namespace {

constexpr size_t kBlock = 8192;

// Inputs of a later-generation board: key list, Android test key files and
// two raw images, with a table of two checked "Non-File System" rows.
struct Workspace2 {
  explicit Workspace2(DialogFixture& f) : inputDir(f.home.root.Path() + "in/"), outputDir(f.home.root.Path() + "out") {
    std::filesystem::create_directories(inputDir);
    std::filesystem::create_directories(outputDir);
    keyList = inputDir + "Keys_for_signature.txt";
    WriteText(keyList, SharedKeyListText());
    WriteText(inputDir + "testkey.pk8", "pk8");
    WriteText(inputDir + "testkey.x509.pem", "pem");
    kernel = PatternBytes(20000, 7);
    logo = PatternBytes(8192, 9);
    WriteBytes(inputDir + "kernel.bin", kernel);
    WriteBytes(inputDir + "logo.bin", logo);
    table = inputDir + "PartConfig.xml";
    WriteTableFile(table, {{"1", "kernel", "Non-File System", "EMMC_8G", "No", "kernel.bin"},
                           {"0", "unused", "Non-File System", "EMMC_8G", "No", "missing.bin"},
                           {"1", "logo", "non-file system", "emmc_8g", "No", "logo.bin"}});
  }
  // Board type 2, table, key list and output folder, as a person would.
  void Prepare(DialogFixture& f, bool defaultOutput) {
    f.dlg->BoardTypeBox()->setCurrentIndex(2);
    f.ui.paths.push_back(Q(table));
    QTest::mouseClick(f.dlg->ConfigBrowseButton(), Qt::LeftButton);
    f.ui.paths.push_back(Q(keyList));
    QTest::mouseClick(f.dlg->KeysBrowseButton(), Qt::LeftButton);
    if (defaultOutput) {
      QTest::mouseClick(f.dlg->DefaultOutputBox(), Qt::LeftButton, {}, QPoint(5, 8));
    } else {
      f.ui.paths.push_back(Q(outputDir));
      QTest::mouseClick(f.dlg->OutputBrowseButton(), Qt::LeftButton);
    }
  }

  std::string inputDir, outputDir, keyList, table;
  std::vector<uint8_t> kernel, logo;
};

// The image signed whole: the source, 0xFF up to a block boundary, one
// signature block whose signature verifies over the source bytes.
bool SignedWhole(const std::vector<uint8_t>& source, const std::string& path) {
  const std::vector<uint8_t> out = ReadBytes(path);
  const size_t blocks = (source.size() + kBlock - 1) / kBlock;
  if (out.size() != (blocks + 1) * kBlock) return false;
  if (!std::equal(source.begin(), source.end(), out.begin())) return false;
  for (size_t i = source.size(); i < blocks * kBlock; ++i)
    if (out[i] != 0xFF) return false;
  const std::vector<std::string> keys = SplitLines(SharedKeyListText());
  return VerifyWithPublicKey(keys[0], keys[1], source.data(), source.size(), out.data() + blocks * kBlock + 116, 256);
}

}  // namespace

class MakeRunTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ClearSettings(); }

  void wholeRunFromTheWindow() {
    DialogFixture f;
    QVERIFY(f.Start());
    Workspace2 w(f);
    w.Prepare(f, /*defaultOutput=*/true);
    QVERIFY(f.ui.messages.empty());
    QCOMPARE(f.ws.table.rows.size(), size_t{3});

    // What the eight controls and the bar look like while the closing message is up.
    std::vector<bool> enabledDuringRun;
    int progressAtMessage = -1;
    f.ui.onMessage = [&](const MessageRequest&) {
      for (QWidget* control : f.dlg->MakeControls()) enabledDuringRun.push_back(control->isEnabled());
      progressAtMessage = f.dlg->ProgressBar()->value();
    };
    // The bar's text as it moves: the step's name and the percentage, the
    // same for screen readers.
    auto* bar = f.dlg->findChild<QProgressBar*>("progress");
    QStringList texts;
    connect(bar, &QProgressBar::valueChanged, [&] {
      texts << bar->text();
      QCOMPARE(bar->accessibleDescription(), bar->text());
    });
    QSignalSpy finished(f.dlg.get(), &CPellgraveDlg::makeFinished);
    QTest::mouseClick(f.dlg->MakeButton(), Qt::LeftButton);
    QVERIFY(f.dlg->IsMaking());
    QVERIFY(!f.dlg->MakeButton()->isEnabled());
    QVERIFY(QTest::qWaitFor([&] { return !f.dlg->IsMaking(); }, 60000));
    QCOMPARE(finished.count(), 1);

    QCOMPARE(f.ui.Texts(), QStringList{"All files signed successfully!"});
    QCOMPARE(f.ui.messages[0].caption, QString("Tarnel"));
    QCOMPARE(enabledDuringRun, std::vector<bool>(8, false));
    QCOMPARE(progressAtMessage, f.dlg->ProgressBar()->maximum());
    QCOMPARE(f.dlg->ProgressBar()->value(), 0);
    QVERIFY(texts.contains("kernel.img: 50 %"));
    QVERIFY(texts.contains("logo.img: 100 %"));
    const QRegularExpression form("^((kernel|logo)\\.img: )?[0-9]+ %$");
    for (const QString& text : texts.mid(0, texts.size() - 1)) QVERIFY2(form.match(text).hasMatch(), qPrintable(text));
    QVERIFY(!bar->isTextVisible());
    // Enabled again, except Output Browse while the default output is checked.
    for (QWidget* control : f.dlg->MakeControls())
      QCOMPARE(control->isEnabled(), control != f.dlg->OutputBrowseButton());

    const std::string out = f.home.appDir + "Output/";
    QVERIFY(SignedWhole(w.kernel, out + "kernel.img"));
    QVERIFY(SignedWhole(w.logo, out + "logo.img"));
    QVERIFY(!std::filesystem::exists(out + "unused.img"));
  }

  // The demo workspace made by tarnel-cli, signed from clicks alone for a
  // first- and a later-generation board, with the real signapk under Java.
  void demoWorkspaceSignsForBothGenerations() {
    DialogFixture f;
    const std::string real = TARNEL_HOME_DIR "/";
    const std::string home = f.home.appDir;
    namespace fs = std::filesystem;
    if (!fs::exists(real + "jre/bin/java") || !fs::exists(real + "Config/signapk.jar"))
      QSKIP("no Java runtime or signapk.jar in the build's program folder");
    fs::copy_file(real + "Config/FlashConfig.xml", home + "Config/FlashConfig.xml",
                  fs::copy_options::overwrite_existing);
    fs::create_symlink(fs::read_symlink(real + "Config/signapk.jar"), home + "Config/signapk.jar");
    fs::remove_all(home + "jre");
    fs::create_directory_symlink(fs::canonical(real + "jre"), home + "jre");
    f.ws.app.m_nJavaMemory = 512;
    QVERIFY(f.Start());

    const std::string demo = f.home.root.Path() + "demo/";
    std::string output;
    QCOMPARE(tarnel::test::RunShell(std::string(TARNEL_CLI_PATH) + " demo " + tarnel::test::ShellQuote(demo), &output),
             0);
    const std::string input = demo + "input/";
    const struct {
      int board;
      const char* table;
      const char* out;
      const char* extra;  // an output only this generation has
    } runs[] = {{0, "PartConfig_RA100.xml", "out-RA100/", "KeyPart.img"},
                {2, "PartConfig_RA200.xml", "out-RA200/", "system_Sign.img"}};
    for (const auto& run : runs) {
      f.ui.Clear();
      f.dlg->BoardTypeBox()->setCurrentIndex(run.board);
      f.ui.paths.push_back(Q(input + run.table));
      QTest::mouseClick(f.dlg->ConfigBrowseButton(), Qt::LeftButton);
      f.ui.paths.push_back(Q(input + "Keys_for_signature.txt"));
      QTest::mouseClick(f.dlg->KeysBrowseButton(), Qt::LeftButton);
      f.ui.paths.push_back(Q(demo + run.out));
      QTest::mouseClick(f.dlg->OutputBrowseButton(), Qt::LeftButton);
      QVERIFY2(f.ui.messages.empty(), qPrintable(f.ui.Texts().join('\n')));
      QTest::mouseClick(f.dlg->MakeButton(), Qt::LeftButton);
      QVERIFY(QTest::qWaitFor([&] { return !f.dlg->IsMaking(); }, 180000));
      QCOMPARE(f.ui.Texts(), QStringList{"Generate release package successfully!"});
      QVERIFY(fs::file_size(demo + run.out + "update.zip") > 0);
      QVERIFY(fs::exists(demo + run.out + run.extra));
    }
  }

  void failingRunReportsItsRowAndEnablesTheControls() {
    DialogFixture f;
    QVERIFY(f.Start());
    Workspace2 w(f);
    w.Prepare(f, /*defaultOutput=*/false);
    std::filesystem::remove(w.inputDir + "logo.bin");
    QTest::mouseClick(f.dlg->MakeButton(), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return !f.dlg->IsMaking(); }, 60000));
    QVERIFY(!f.ui.messages.empty());
    QCOMPARE(f.ui.messages.back().text, QString("Failed to sign Non-File System part in the Line 3!"));
    for (QWidget* control : f.dlg->MakeControls()) QVERIFY(control->isEnabled());
    QVERIFY(SignedWhole(w.kernel, w.outputDir + "/kernel.img"));
    QVERIFY(!std::filesystem::exists(w.outputDir + "/logo.img"));
  }

  void closeDuringTheRunWaitsForItsEnd() {
    DialogFixture f;
    QVERIFY(f.Start());
    Workspace2 w(f);
    w.Prepare(f, /*defaultOutput=*/false);
    // While the worker waits on its closing message the user closes the window.
    bool asked = false;
    f.ui.onMessage = [&](const MessageRequest& m) {
      if (m.text != "All files signed successfully!") return;
      f.ui.answers.push_back(QMessageBox::Ok);
      f.ui.answers.push_front(QMessageBox::Yes);
      QVERIFY(!f.dlg->close());
      asked = true;
      QVERIFY(f.dlg->isVisible());
      QVERIFY(f.dlg->CloseAfterMake());
    };
    QTest::mouseClick(f.dlg->MakeButton(), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return !f.dlg->IsMaking(); }, 60000));
    QVERIFY(asked);
    QCOMPARE(f.ui.Texts(), (QStringList{"All files signed successfully!", QString::fromUtf8(kMsgCloseWhileMaking)}));
    QCOMPARE(f.ui.messages[1].buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(QTest::qWaitFor([&] { return !f.dlg->isVisible(); }, 5000));
    QVERIFY(SignedWhole(w.kernel, w.outputDir + "/kernel.img"));
  }

  void runEndingWhileTheCloseQuestionIsUpStillCloses() {
    DialogFixture f;
    QVERIFY(f.Start());
    Workspace2 w(f);
    w.Prepare(f, /*defaultOutput=*/false);
    // The user closes right after Make; while the question is up the run
    // reaches its end (its message is answered), then the user says Yes.
    bool endedWhileAsking = false;
    f.ui.onMessage = [&](const MessageRequest& m) {
      if (m.text != QString::fromUtf8(kMsgCloseWhileMaking)) return;
      endedWhileAsking = QTest::qWaitFor([&] { return !f.dlg->IsMaking(); }, 60000);
      f.ui.answers.push_front(QMessageBox::Yes);
    };
    QTest::mouseClick(f.dlg->MakeButton(), Qt::LeftButton);
    f.dlg->close();
    QVERIFY(endedWhileAsking);
    QCOMPARE(f.ui.Texts(), (QStringList{QString::fromUtf8(kMsgCloseWhileMaking), "All files signed successfully!"}));
    QVERIFY(QTest::qWaitFor([&] { return !f.dlg->isVisible(); }, 5000));
    // Nothing is left over that would close the window after a later run.
    QVERIFY(!f.dlg->CloseAfterMake());
  }

  // The real boxes: the user asks to close during the run and leaves the
  // question up; the run's closing message comes on top and is answered.
  // The run's end takes the question away and the window stays, with Make
  // enabled and focused.
  void closeQuestionGoesWhenTheRunEnds() {
    DialogFixture f;
    QVERIFY(f.Start());
    f.dlg->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f.dlg.get()));
    Workspace2 w(f);
    w.Prepare(f, /*defaultOutput=*/false);
    f.ui.realBoxes = true;
    QTimer answerRun;
    QElapsedTimer sinceEnd;
    bool stale = false;
    connect(&answerRun, &QTimer::timeout, [&] {
      for (QMessageBox* box : f.dlg->findChildren<QMessageBox*>()) {
        if (!box->isVisible()) continue;
        if (box->text() == "All files signed successfully!") box->button(QMessageBox::Ok)->click();
        // Still asking a while after the run ended: answered here so the test ends.
        if (box->text() == QString::fromUtf8(kMsgCloseWhileMaking) && !f.dlg->IsMaking()) {
          if (!sinceEnd.isValid()) sinceEnd.start();
          if (sinceEnd.elapsed() > 2000) {
            stale = true;
            box->button(QMessageBox::No)->click();
          }
        }
      }
    });
    answerRun.start(20);
    auto* make = f.dlg->findChild<QPushButton*>("make");
    QTest::mouseClick(make, Qt::LeftButton);
    QVERIFY(!f.dlg->close());
    answerRun.stop();
    QVERIFY(!stale);
    QCOMPARE(f.ui.Texts(), (QStringList{QString::fromUtf8(kMsgCloseWhileMaking), "All files signed successfully!"}));
    QVERIFY(f.dlg->isVisible());
    QVERIFY(!f.dlg->IsMaking());
    for (QMessageBox* box : f.dlg->findChildren<QMessageBox*>()) QVERIFY(!box->isVisible());
    QVERIFY(make->isEnabled());
    QCOMPARE(f.dlg->focusWidget(), make);
    QVERIFY(SignedWhole(w.kernel, w.outputDir + "/kernel.img"));
  }

  void windowDestroyedDuringTheRunReleasesTheWorker() {
    auto f = std::make_unique<DialogFixture>();
    QVERIFY(f->Start());
    Workspace2 w(*f);
    w.Prepare(*f, /*defaultOutput=*/false);
    QTest::mouseClick(f->dlg->MakeButton(), Qt::LeftButton);
    // No event processing: the worker's first report waits for the window,
    // which goes away; the run ends without it and nothing is left running.
    f->dlg.reset();
    QVERIFY(SignedWhole(w.kernel, w.outputDir + "/kernel.img"));
    QVERIFY(f->ui.messages.empty());
  }

  // A token named in BurnConfig.ini without a PIN. The PIN is asked only
  // after the run's own checks, in a dialog that names the token and keeps
  // OK disabled while the field is empty; a wrong PIN is asked again at once
  // and the run goes on with the right one (checked with the public key).
  void tokenPinIsAskedAfterTheChecksAndAgainWhenWrong() {
    if (tarnel::test::SoftHsmModule().empty()) QSKIP("softhsm2 is not installed");
    tarnel::test::EnvGuard noPin("TARNEL_PKCS11_PIN", nullptr);
    tarnel::test::SoftHsmToken token;
    QVERIFY(token.Ready());
    const std::vector<std::string> lines = SplitLines(SharedKeyListText());
    QVERIFY(token.Import(lines, 0, kTokenExternalLabel, "01"));
    QVERIFY(token.Import(lines, 10, kTokenRootLabel, "02"));
    DialogFixture f;
    QVERIFY(f.Start());
    WriteText(f.home.appDir + "BurnConfig.ini", "[BurnConfig]\nMemory=512\n[Signing]\nSigner=" + token.Uri("") + "\n");

    // Every PIN dialog as it comes: its text and whether OK was enabled while
    // empty; answered from `pins` (Cancel when none is left).
    struct Seen {
      QString prompt;
      bool okWhileEmpty;
    };
    std::vector<Seen> seen;
    std::deque<QString> pins;
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
      auto* ask = f.dlg->findChild<QDialog*>("pinDialog");
      if (ask == nullptr || !ask->isVisible() || ask->result() != 0) return;
      auto* field = ask->findChild<QLineEdit*>("pinField");
      QPushButton* ok = ask->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
      seen.push_back({ask->findChild<QLabel*>("pinPrompt")->text(), ok->isEnabled()});
      ask->setResult(1);  // seen
      if (pins.empty()) {
        ask->reject();
        return;
      }
      QTest::keyClicks(field, pins.front());
      pins.pop_front();
      QVERIFY(ok->isEnabled());
      ok->click();
    });
    answer.start(20);
    const auto make = [&] {
      QTest::mouseClick(f.dlg->findChild<QPushButton*>("make"), Qt::LeftButton);
      QVERIFY(QTest::qWaitFor([&] { return !f.dlg->IsMaking(); }, 60000));
    };

    // Nothing chosen yet: the run's own checks end it, no PIN is asked.
    make();
    QVERIFY(seen.empty());
    QCOMPARE(f.ui.messages.size(), size_t{1});

    Workspace2 w(f);
    w.Prepare(f, /*defaultOutput=*/false);
    f.ui.Clear();
    pins = {"0000", QString::fromUtf8(tarnel::test::SoftHsmToken::kPin)};
    make();
    QCOMPARE(seen.size(), size_t{2});
    for (const Seen& s : seen) {
      QVERIFY2(s.prompt.contains("\"tarnel\""), qPrintable(s.prompt));
      QVERIFY(!s.okWhileEmpty);
    }
    QVERIFY(!seen[0].prompt.contains(QString::fromUtf8(kPinWrong)));
    QVERIFY(seen[1].prompt.contains(QString::fromUtf8(kPinWrong)));
    QCOMPARE(f.ui.Texts(), QStringList{"All files signed successfully!"});
    QVERIFY(SignedWhole(w.kernel, w.outputDir + "/kernel.img"));

    // Cancel ends the run with the token's message, and nothing is written.
    std::filesystem::remove(w.outputDir + "/kernel.img");
    seen.clear();
    f.ui.Clear();
    make();
    QCOMPARE(seen.size(), size_t{1});
    QCOMPARE(f.ui.messages.size(), size_t{1});
    QVERIFY(!std::filesystem::exists(w.outputDir + "/kernel.img"));
    answer.stop();
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QTemporaryDir settings;
  UseTemporarySettings(settings.path());
  MakeRunTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "make_run_test.moc"
