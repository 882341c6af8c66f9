#include "app/pellgrave_dlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QEventLoop>
#include <QGridLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <string_view>

#include "app/messages.h"
#include "app/app_settings.h"
#include "app/compact_style.h"
#include "app/icons.h"
#include "app/list_ctrl_ex.h"
#include "boot/key_list.h"
#include "build_info.h"
#include "common/messages.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/program_folder.h"
#include "common/secure.h"
#include "common/text.h"
#include "config/burn_config.h"
#include "config/flash_config.h"
#include "config/partition_config.h"
#include "pipeline/make_driver.h"
#include "signing/signer.h"
#include "config/messages.h"

namespace tarnel::app {

// Message boxes and progress for the window's own commands and for the Make
// worker. Called from the worker, each call waits until the user-interface
// thread has handled it (a message box: until it was closed).
class CPellgraveDlg::WindowReporter : public RunReporter {
 public:
  explicit WindowReporter(CPellgraveDlg& dialog) : dialog_(dialog) {}

  void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override {
    dialog_.bridge_.RunAndWait([this, t = Q(text), c = Q(caption), i = ToQtIcon(icon)] { dialog_.Message(t, c, i); });
  }
  void ShowMessageDetail(const std::string& text, const std::string& detail, const std::string& caption,
                         MsgIcon icon) override {
    dialog_.bridge_.RunAndWait([this, t = Q(text), d = Q(detail), c = Q(caption), i = ToQtIcon(icon)] {
      dialog_.MessageDetail(t, d, c, i);
    });
  }
  // The bar counts in thousandths of a step, so that it can move within a
  // long step; whole steps land where they always did.
  void SetProgressRange(int maximum) override {
    dialog_.bridge_.RunAndWait([this, maximum] {
      dialog_.progress_->setRange(0, std::max(0, maximum) * kUnitsPerStep);
      dialog_.ShowProgressText();
    });
  }
  void SetStepName(const std::string& name) override {
    dialog_.bridge_.RunAndWait([this, n = Q(name)] {
      dialog_.stepName_ = n;
      dialog_.ShowProgressText();
    });
  }
  void SetProgressPos(int position) override {
    position_ = position;
    within_ = 0;
    Show(static_cast<long long>(position) * kUnitsPerStep);
  }
  // Only forwards, and only when the bar would move by a hundredth of a step.
  void SetStepProgress(uint64_t done, uint64_t total) override {
    if (total == 0) return;
    const int within = static_cast<int>(std::min(done, total) * (kUnitsPerStep - 1) / total);
    if (within < within_ + kUnitsPerStep / 100) return;
    within_ = within;
    Show(static_cast<long long>(position_) * kUnitsPerStep + within);
  }
  void Pause(int milliseconds) override {
    if (QThread::currentThread() == dialog_.thread()) {
      QEventLoop loop;
      QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
      loop.exec();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
  }

 private:
  static constexpr int kUnitsPerStep = 1000;

  void Show(long long value) {
    dialog_.bridge_.RunAndWait([this, value] {
      // Past either end the bar stops at that end.
      QProgressBar* bar = dialog_.progress_;
      const int shown = static_cast<int>(std::clamp<long long>(value, bar->minimum(), bar->maximum()));
      dialog_.ShowProgressText(shown);
      bar->setValue(shown);
    });
  }

  CPellgraveDlg& dialog_;
  int position_ = 0;  // the last whole step shown
  int within_ = 0;    // thousandths of the next step shown
};

// One Make run: a copy of the workspace taken when Make was pressed, the
// reporter and the run's signing context (kept until the next run).
struct CPellgraveDlg::MakeRun {
  MakeRun(const Workspace& workspace, CPellgraveDlg& dialog) : ws(workspace), reporter(dialog) {}
  // The run's copy of the key lines is wiped with it.
  ~MakeRun() { ws.keyLines.Clear(); }
  MakeRun(const MakeRun&) = delete;
  MakeRun& operator=(const MakeRun&) = delete;
  Workspace ws;
  WindowReporter reporter;
  RunOptions options;
};

CPellgraveDlg::CPellgraveDlg(Workspace& workspace, UiHooks hooks, QWidget* parent)
    : QDialog(parent), ws_(workspace), hooks_(std::move(hooks)), reporter_(std::make_unique<WindowReporter>(*this)) {
  setWindowTitle(Q(Format(kWindowTitle, kVersion)));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                 Qt::WindowCloseButtonHint);
  setWindowIcon(AppIcon());
  setSizeGripEnabled(false);
  CreateControls();
  // No system menu on this platform: the About item lives in the window's
  // context menu and on F1.
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, &CPellgraveDlg::ShowAboutBox);
  resize(kWindowWidth, kWindowHeight);
}

CPellgraveDlg::~CPellgraveDlg() {
  // The window is going away: release a worker that waits for it and let the
  // run end without a window before anything it could reach is destroyed.
  bridge_.Shutdown();
  if (worker_.joinable()) worker_.join();
}

void CPellgraveDlg::CreateControls() {
  auto button = [this](const char* text, const char* name, const char* accessibleName) {
    auto* b = new QPushButton(tr(text), this);
    b->setObjectName(name);
    b->setAccessibleName(tr(accessibleName));
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
  };
  auto pathBox = [this](const char* name, const char* accessibleName) {
    auto* box = new QLineEdit(this);
    box->setObjectName(name);
    box->setAccessibleName(tr(accessibleName));
    box->setReadOnly(true);
    return box;
  };

  boardTypeLabel_ = new QLabel(tr(kLabelBoardType), this);
  boardType_ = new QComboBox(this);
  boardType_->setObjectName("boardType");
  boardType_->setAccessibleName(tr(kNameBoardType));
  boardType_->setEditable(false);
  {
    // The list is 105 by 16 pixels: a slightly smaller font and a wider text
    // field keep the board names whole.
    QFont font = boardType_->font();
    if (font.pointSizeF() > 1) font.setPointSizeF(font.pointSizeF() - 1);
    boardType_->setFont(font);
    boardType_->setStyle(new CCompactComboStyle(boardType_));
  }
  boardTypeLabel_->setBuddy(boardType_);
  // A stray wheel turn would switch the board and empty every File Type cell.
  CWheelGuard::Install(boardType_);
  connect(boardType_, &QComboBox::currentIndexChanged, this, &CPellgraveDlg::OnBoardTypeChanged);

  configLabel_ = new QLabel(tr(kLabelConfigFile), this);
  configPath_ = pathBox("configPath", kNameConfigPath);
  configLabel_->setBuddy(configPath_);
  configBrowse_ = button(kButtonBrowse, "configBrowse", kNameConfigBrowse);
  connect(configBrowse_, &QPushButton::clicked, this, &CPellgraveDlg::OnConfigBrowse);

  keysLabel_ = new QLabel(tr(kLabelKeysFile), this);
  keysPath_ = pathBox("keysPath", kNameKeysPath);
  keysLabel_->setBuddy(keysPath_);
  keysBrowse_ = button(kButtonBrowse, "keysBrowse", kNameKeysBrowse);
  connect(keysBrowse_, &QPushButton::clicked, this, &CPellgraveDlg::OnKeysBrowse);

  defaultOutput_ = new QCheckBox(tr(kLabelDefaultOutput), this);
  defaultOutput_->setObjectName("defaultOutput");
  defaultOutput_->setAccessibleName(tr(kLabelDefaultOutput));
  connect(defaultOutput_, &QCheckBox::clicked, this, &CPellgraveDlg::OnDefaultOutputClicked);
  outputPath_ = pathBox("outputPath", kNameOutputPath);
  outputBrowse_ = button(kButtonBrowse, "outputBrowse", kNameOutputBrowse);
  connect(outputBrowse_, &QPushButton::clicked, this, &CPellgraveDlg::OnOutputBrowse);

  list_ = new CListCtrlEx(ws_.table, hooks_, this);
  list_->setObjectName("partitionTable");

  make_ = button(kButtonMake, "make", kButtonMake);
  connect(make_, &QPushButton::clicked, this, &CPellgraveDlg::OnMake);
  saveConfig_ = button(kButtonSaveConfig, "saveConfigAs", kButtonSaveConfig);
  connect(saveConfig_, &QPushButton::clicked, this, [this] { (void)OnSaveConfigAs(); });
  cancel_ = button(kButtonCancel, "cancel", kButtonCancel);
  cancel_->hide();
  connect(cancel_, &QPushButton::clicked, this, &QWidget::close);

  progress_ = new QProgressBar(this);
  progress_->setObjectName("progress");
  progress_->setAccessibleName(tr(kNameProgress));
  progress_->setTextVisible(false);
  progress_->setRange(0, 100);
  progress_->reset();
}

QList<QWidget*> CPellgraveDlg::MakeControls() const {
  return {configBrowse_, keysBrowse_, outputBrowse_, defaultOutput_, list_, make_, saveConfig_, boardType_};
}

bool CPellgraveDlg::Startup() {
  const std::string& appDir = ws_.app.m_strAppDir;
  {
    const QSignalBlocker blocker(boardType_);
    boardType_->clear();
    for (std::string_view name : kBoardTypeNames) boardType_->addItem(Q(std::string(name)));
    boardType_->setCurrentIndex(0);
  }

  // Java is needed only when it signs every upgrade archive.
  if (const std::string missing = OpenProgramFolder(appDir, ws_.app.m_archiveSigner == ArchiveSigner::Java);
      !missing.empty()) {
    QString text = Q(Format(kMsgFolderNotFound, missing.c_str()));
    // The installed program's per-user folder is made once and then used
    // as it is: say how to have it made afresh.
    const std::string userFolder = WithTrailingSep(UserDataDir() + kUserFolderName);
    if (!UserDataDir().empty() && appDir == userFolder) text += Q(Format(kMsgRepairUserFolder, appDir.c_str()));
    Message(text);
    return false;
  }

  FitToScreen();
  // Where the window was last closed, inside the screen as it is now.
  const QByteArray geometry = ReadWindowSetting(kSettingGeometry).toByteArray();
  if (!geometry.isEmpty() && restoreGeometry(geometry)) {
    const QScreen* screen = this->screen();
    if (screen != nullptr && !screen->availableGeometry().contains(frameGeometry())) FitToScreen();
  }

  const std::string flashConfig = FlashConfigPath(appDir);
  list_->Setup(FillFlashNameList(flashConfig));
  Layout();
  (void)LoadFlashConfig(ws_.flashTable, *reporter_, flashConfig);
  return true;
}

QMessageBox::StandardButton CPellgraveDlg::Message(const QString& text, const QString& caption, QMessageBox::Icon icon,
                                                   QMessageBox::StandardButtons buttons) {
  return hooks_.message(this, MessageRequest{text, caption, icon, buttons});
}

void CPellgraveDlg::MessageDetail(const QString& text, const QString& detail, const QString& caption,
                                  QMessageBox::Icon icon) {
  MessageRequest request{text, caption, icon, QMessageBox::Ok};
  request.detail = detail;
  (void)hooks_.message(this, request);
}

void CPellgraveDlg::ShowProgressText(std::optional<int> value) {
  const long long span = static_cast<long long>(progress_->maximum()) - progress_->minimum();
  const long long at = std::max(value.value_or(progress_->value()), progress_->minimum());
  const int percent = span <= 0 ? 0 : static_cast<int>((at - progress_->minimum()) * 100 / span);
  // The bar's own format would read a '%' in a file name as a placeholder.
  QString name = stepName_;
  name.replace(QLatin1Char('%'), QChar(0xFF05));
  const QString text = name.isEmpty() ? tr(kProgressFormat).arg(percent) : tr(kStepProgressFormat).arg(name, QString::number(percent));
  progress_->setFormat(text);
  // Screen readers do not read the text a bar draws: the same text is its description.
  progress_->setAccessibleDescription(text);
}

// ---------------------------------------------------------------- layout

void CPellgraveDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  Layout();
}

double CPellgraveDlg::LayoutScale() const {
  return std::max(1.0, static_cast<double>(fontMetrics().height()) / kLayoutFontHeight);
}

void CPellgraveDlg::FitToScreen() {
  const double k = LayoutScale();
  QSize wanted(static_cast<int>(kWindowWidth * k), static_cast<int>(kWindowHeight * k));
  QSize minimum(static_cast<int>(kMinimumWidth * k), static_cast<int>(kMinimumHeight * k));
  QRect area(QPoint(0, 0), wanted);
  if (const QScreen* screen = this->screen()) {
    area = screen->availableGeometry();
    // Room for the window's frame and title bar, whose size is known only
    // once the window is shown.
    const int title = 2 * fontMetrics().height();
    const QSize room(std::max(1, area.width() - title / 2), std::max(1, area.height() - 2 * title));
    wanted = wanted.boundedTo(room);
    minimum = minimum.boundedTo(room);
  }
  setMinimumSize(minimum);
  resize(wanted);
  move(area.center() - QPoint(wanted.width() / 2, wanted.height() / 2));
}

void CPellgraveDlg::Layout() {
  if (progress_ == nullptr) return;
  const int w = width();
  const int h = height();
  // The layout's pixels, scaled for a larger font.
  const double k = LayoutScale();
  const auto p = [k](int pixels) { return static_cast<int>(pixels * k + 0.5); };
  boardTypeLabel_->setGeometry(p(10), p(20), p(80), p(16));
  boardType_->setGeometry(p(90), p(20), p(105), p(16));
  configLabel_->setGeometry(p(10), p(58), p(180), p(16));
  configPath_->setGeometry(p(22), p(77), w - p(112), p(22));
  configBrowse_->setGeometry(w - p(80), p(76), p(70), p(24));
  keysLabel_->setGeometry(p(10), p(104), p(180), p(16));
  keysPath_->setGeometry(p(22), p(125), w - p(112), p(22));
  keysBrowse_->setGeometry(w - p(80), p(124), p(70), p(24));
  defaultOutput_->setGeometry(p(10), p(150), p(180), p(16));
  outputPath_->setGeometry(p(22), p(171), w - p(112), p(22));
  outputBrowse_->setGeometry(w - p(80), p(170), p(70), p(24));
  list_->setGeometry(p(10), p(204), w - p(20), h - p(271));
  make_->setGeometry(w / 4 - p(50), h - p(62), p(100), p(24));
  saveConfig_->setGeometry(3 * (w / 4) - p(50), h - p(62), p(100), p(24));
  progress_->setGeometry(p(10), h - p(28), w - p(20), p(18));
}

// ---------------------------------------------------------------- commands

void CPellgraveDlg::OnBoardTypeChanged(int index) {
  if (index < 0) return;
  ws_.app.m_nBoardType = index;
  list_->SetFileTypeOptions(FileTypeOptionsForBoard(index));
  list_->ClearFileTypeCells();
}

ChooserRequest CPellgraveDlg::SeedChooser(const char* settingKey, const char* defaultName) const {
  ChooserRequest request;
  request.kind = ChooserKind::OpenFile;
  const std::string remembered = S(ReadProfileString(settingKey));
  if (remembered.empty()) {
    request.fileName = QString::fromUtf8(defaultName);
    request.folder = Q(ws_.app.m_strAppDir + "Config");
  } else if (HasSep(remembered)) {
    request.fileName = Q(AfterLastSep(remembered));
    request.folder = Q(FolderPart(remembered));
  } else {
    request.folder = Q(remembered);
  }
  request.folder = StartFolder(request.folder);
  return request;
}

namespace {

// Choosers answer with '/'; the core builds paths with the platform separator.
std::string NativePath(const QString& chosen) { return S(QDir::toNativeSeparators(chosen)); }

}  // namespace

void CPellgraveDlg::OnConfigBrowse() {
  ChooserRequest request = SeedChooser(kSettingConfigFile, kDefaultPartitionConfigName);
  request.filters = {kFilterXml, kFilterAll};
  const QString chosen = hooks_.choose(this, request);
  if (chosen.isEmpty()) return;
  RememberChosen(chosen);
  const std::string path = NativePath(chosen);
  WriteProfileString(kSettingConfigFile, Q(path));
  bool loaded = false;
  list_->ReloadTable([&] {
    loaded = LoadPartitionConfig(ws_.table, ws_.app.m_nBoardType, *reporter_, path);
    return loaded;
  });
  if (!loaded) return;
  configPath_->setText(Q(path));
  ws_.app.m_strInputDir = FolderPart(path);
}

void CPellgraveDlg::OnKeysBrowse() {
  ChooserRequest request = SeedChooser(kSettingKeysFile, kDefaultKeyListName);
  request.filters = {kFilterTxt, kFilterAll};
  const QString chosen = hooks_.choose(this, request);
  if (chosen.isEmpty()) return;
  RememberChosen(chosen);
  const std::string path = NativePath(chosen);
  ws_.app.m_strInputDir = FolderPart(path);
  WriteProfileString(kSettingKeysFile, Q(path));
  if (!LoadKeyListFile(ws_, *reporter_, path)) return;
  ws_.app.m_strKeysFile = path;
  keysPath_->setText(Q(path));
}

void CPellgraveDlg::OnDefaultOutputClicked() {
  if (defaultOutput_->isChecked()) {
    ws_.app.m_strOutputPath = ws_.app.m_strAppDir + "Output" + std::string(kSepStr);
    outputPath_->setText(Q(ws_.app.m_strOutputPath));
    outputBrowse_->setEnabled(false);
  } else {
    ws_.app.m_strOutputPath.clear();
    outputPath_->clear();
    outputBrowse_->setEnabled(true);
  }
}

void CPellgraveDlg::OnOutputBrowse() {
  if (defaultOutput_->isChecked()) return;
  ChooserRequest request;
  request.kind = ChooserKind::Folder;
  request.title = QString::fromUtf8(kOutputChooserTitle);
  request.folder = StartFolder(ReadProfileString(kSettingOutputPath, Q(ws_.app.m_strAppDir + "Config")));
  const QString chosen = hooks_.choose(this, request);
  if (chosen.isEmpty()) return;
  RememberChosen(chosen, /*isFolder=*/true);
  const std::string folder = Trim(NativePath(chosen));
  if (folder.empty() || !IsFolder(folder)) return;
  ws_.app.m_strOutputPath = WithTrailingSep(folder);
  outputPath_->setText(Q(ws_.app.m_strOutputPath));
  WriteProfileString(kSettingOutputPath, Q(ws_.app.m_strOutputPath));
}

bool CPellgraveDlg::OnSaveConfigAs() {
  ChooserRequest request;
  request.kind = ChooserKind::SaveFile;
  request.folder = StartFolder(Q(ws_.app.m_strAppDir + std::string(kSepStr) + "Input"));
  request.fileName = QString::fromUtf8(kDefaultPartitionConfigName);
  request.filters = {kFilterXml};
  request.defaultSuffix = QString::fromUtf8(kSuffixXml);
  request.confirmOverwrite = true;
  const QString chosen = hooks_.choose(this, request);
  if (chosen.isEmpty()) return false;
  RememberChosen(chosen);
  const std::string path = NativePath(chosen);
  const bool wasModified = ws_.table.m_bModified;
  if (SavePartitionConfig(ws_.table, path) || ws_.table.rows.empty()) return true;
  // Nothing was saved: say so, and keep the table marked as changed.
  ws_.table.m_bModified = wasModified;
  Message(Q(Format(kMsgSaveTableFailed, path.c_str())), QString::fromUtf8(kAppName), QMessageBox::Warning);
  return false;
}

void CPellgraveDlg::SetMakeControlsEnabled(bool enabled) {
  for (QWidget* control : MakeControls()) control->setEnabled(enabled);
  if (enabled && defaultOutput_->isChecked()) outputBrowse_->setEnabled(false);
}

void CPellgraveDlg::OnMake() {
  if (making_) return;
  if (worker_.joinable()) worker_.join();
  // The signer is the one BurnConfig.ini names.
  const std::string signerSpec = ReadSignerSetting(ws_.app.m_strAppDir);
  making_ = true;
  SetMakeControlsEnabled(false);
  stepName_.clear();
  progress_->setTextVisible(true);
  ShowProgressText();
  // The run reads its own copy of the workspace, so nothing the window does
  // while it runs can reach it.
  run_ = std::make_unique<MakeRun>(ws_, *this);
  run_->options.signerSpec = signerSpec;
  // A token whose PIN is given nowhere else is unlocked with one asked when
  // the run opens it, after the run's own checks.
  run_->options.pinSource = [this](const PinPrompt& prompt) -> std::optional<std::string> {
    std::optional<std::string> pin;
    bridge_.RunAndWait([&] { pin = AskTokenPin(prompt); });
    return pin;
  };
  worker_ = std::thread([this, run = run_.get()] {
    (void)RunMake(run->ws, run->reporter, run->options);
    // The controls come back in the same step that ends the run for the
    // window, so no click can fall between the two.
    bridge_.Post([this] { OnMakeFinished(); });
  });
}

std::optional<std::string> CPellgraveDlg::AskTokenPin(const PinPrompt& prompt) {
  QDialog ask(this);
  ask.setObjectName("pinDialog");
  ask.setWindowTitle(QString::fromUtf8(kAppName));
  QStringList lines;
  if (prompt.retry) lines << tr(kPinWrong);
  if (prompt.finalTry)
    lines << tr(kPinFinalTry);
  else if (prompt.countLow)
    lines << tr(kPinCountLow);
  lines << tr(kPinPrompt).arg(Q(prompt.tokenLabel));
  auto* label = new QLabel(lines.join(QLatin1Char('\n')), &ask);
  label->setObjectName("pinPrompt");
  label->setWordWrap(true);
  auto* field = new QLineEdit(&ask);
  field->setObjectName("pinField");
  field->setEchoMode(QLineEdit::Password);
  field->setAccessibleName(tr(kPinFieldName));
  label->setBuddy(field);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &ask);
  QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
  ok->setEnabled(false);
  connect(field, &QLineEdit::textChanged, ok, [ok](const QString& text) { ok->setEnabled(!text.isEmpty()); });
  connect(buttons, &QDialogButtonBox::accepted, &ask, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &ask, &QDialog::reject);
  auto* layout = new QVBoxLayout(&ask);
  layout->addWidget(label);
  layout->addWidget(field);
  layout->addWidget(buttons);
  field->setFocus();
  if (ask.exec() != QDialog::Accepted || field->text().isEmpty()) return std::nullopt;  // Cancel: the run ends
  std::string pin = field->text().toStdString();
  field->clear();
  return pin;
}

void CPellgraveDlg::OnMakeFinished() {
  if (worker_.joinable()) worker_.join();  // it has nothing left to do
  // A question whether to close once the run has ended has no more point:
  // it goes, unanswered, and the window stays.
  if (auto* question = findChild<QMessageBox*>(QString::fromUtf8(kCloseQuestionName))) question->done(QMessageBox::No);
  SetMakeControlsEnabled(true);
  making_ = false;
  // Between runs the bar is empty and says nothing.
  stepName_.clear();
  progress_->setTextVisible(false);
  progress_->setAccessibleDescription(QString());
  // Make lost the focus when it was disabled; it gets it back, ready for
  // the next run, rather than leaving it wherever Qt moved it meanwhile.
  make_->setFocus(Qt::OtherFocusReason);
  emit makeFinished();
  if (closeAfterMake_) {
    closeAfterMake_ = false;
    close();
  }
}

// ---------------------------------------------------------------- closing, keys, About

void CPellgraveDlg::reject() {
  // Escape and the hidden Cancel take the same way as the close box.
  close();
}

void CPellgraveDlg::closeEvent(QCloseEvent* event) {
  if (making_) {
    // The worker still reports to this window: it closes once the run has ended.
    MessageRequest question{QString::fromUtf8(kMsgCloseWhileMaking), QString::fromUtf8(kAppName),
                            QMessageBox::Question, QMessageBox::Yes | QMessageBox::No};
    question.objectName = QString::fromUtf8(kCloseQuestionName);
    if (closeAfterMake_ || hooks_.message(this, question) != QMessageBox::Yes) {
      event->ignore();
      return;
    }
    if (making_) {
      closeAfterMake_ = true;
      event->ignore();
      return;
    }
    // The run ended while the question was up: close now, as after any run.
  }
  if (ws_.table.m_bModified) {
    MessageRequest question{QString::fromUtf8(kMsgSaveTableQuestion), QString::fromUtf8(kCaptionSaveTip),
                            QMessageBox::NoIcon, QMessageBox::Yes | QMessageBox::No};
    // Escape and the question's own close box take the question back: only
    // No throws the changes away.
    question.escapeAnswer = QMessageBox::Cancel;
    switch (hooks_.message(this, question)) {
      case QMessageBox::Yes:
        if (OnSaveConfigAs()) break;
        // No file chosen, or it could not be written: the changes are only
        // here, so the window stays open with them.
        event->ignore();
        return;
      case QMessageBox::No:
        break;
      default:  // Escape or the question's close box: no close
        event->ignore();
        return;
    }
  }
  WriteWindowSetting(kSettingGeometry, saveGeometry());
  event->accept();
  QDialog::reject();
}

void CPellgraveDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();  // no default command: Enter does nothing
    return;
  }
  QDialog::keyPressEvent(event);
}

void CPellgraveDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(windowIcon(), tr(kAboutMenuItem), this, &CPellgraveDlg::ShowAboutBox);
  menu.exec(event->globalPos());
}

std::unique_ptr<QDialog> CPellgraveDlg::CreateAboutBox() {
  auto box = std::make_unique<QDialog>(this);
  box->setObjectName("aboutBox");
  box->setWindowTitle(tr(kAboutTitle));
  box->setWindowIcon(windowIcon());
  auto* icon = new QLabel(box.get());
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->setAlignment(Qt::AlignTop);
  auto* edition = new QLabel(Q(Format(kAboutEdition, kVersion)), box.get());
  edition->setObjectName("edition");
  // The build's date and time, "Mmm dd yyyy" and "hh:mm:ss" (the commit's in a
  // package build, so that it is reproducible).
  auto* update = new QLabel(Q(Format(kAboutUpdate, *kBuildDate != '\0' ? kBuildDate : __DATE__,
                                        *kBuildTime != '\0' ? kBuildTime : __TIME__)), box.get());
  update->setObjectName("update");
  auto* ok = new QPushButton(tr("OK"), box.get());
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, box.get(), &QDialog::accept);
  auto* grid = new QGridLayout(box.get());
  grid->addWidget(icon, 0, 0, 2, 1);
  grid->addWidget(edition, 0, 1);
  grid->addWidget(update, 1, 1);
  grid->addWidget(ok, 0, 2);
  grid->setSizeConstraint(QLayout::SetFixedSize);
  return box;
}

void CPellgraveDlg::ShowAboutBox() {
  std::unique_ptr<QDialog> box = CreateAboutBox();
  box->exec();
}

void CPellgraveDlg::RaiseWindow() {
  if (isMinimized() || isMaximized()) showNormal();
  show();
  raise();
  activateWindow();
}

}  // namespace tarnel::app
