// CPellgraveDlg: the program's one window. Board type, the three paths with
// their Browse buttons, the partition table editor, Make, Save config as and
// the progress bar; Make runs on a worker thread.
#pragma once

#include <QDialog>
#include <QMessageBox>

#include <memory>
#include <optional>
#include <thread>

#include "app/ui_bridge.h"
#include "app/ui_hooks.h"
#include "common/model.h"
#include "common/reporter.h"
#include "signing/signer.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace tarnel::app {

class CListCtrlEx;

// Formatted with the program's version (kVersion).
inline constexpr const char* kWindowTitle = "Tarnel V%s";
inline constexpr const char* kLabelBoardType = "Board Type:";
inline constexpr const char* kLabelConfigFile = "Config File:";
inline constexpr const char* kLabelKeysFile = "Keys File:";
inline constexpr const char* kLabelDefaultOutput = "Default Output Path:";
inline constexpr const char* kButtonBrowse = "Browse...";
inline constexpr const char* kButtonMake = "Make";
inline constexpr const char* kButtonSaveConfig = "Save config as";
inline constexpr const char* kButtonCancel = "Cancel";
inline constexpr const char* kOutputChooserTitle = "选择输出路径：";
inline constexpr const char* kFilterXml = "*.xml";
inline constexpr const char* kFilterTxt = "*.txt";
// Every file, also one without a dot in its name.
inline constexpr const char* kFilterAll = "All Files(*)";
inline constexpr const char* kSuffixXml = "xml";
inline constexpr const char* kAboutMenuItem = "About Tarnel(&A)...";
inline constexpr const char* kAboutTitle = "About Tarnel";
inline constexpr const char* kAboutEdition = "Tarnel，%s Edition";
inline constexpr const char* kAboutUpdate = "Update： %s, %s";
inline constexpr const char* kCloseQuestionName = "closeWhileMakingQuestion";
// What assistive technology reads for controls whose caption alone does not
// say what they do.
inline constexpr const char* kNameBoardType = "Board type";
inline constexpr const char* kNameConfigPath = "Config file";
inline constexpr const char* kNameKeysPath = "Keys file";
inline constexpr const char* kNameOutputPath = "Output folder";
inline constexpr const char* kNameConfigBrowse = "Browse for the config file";
inline constexpr const char* kNameKeysBrowse = "Browse for the keys file";
inline constexpr const char* kNameOutputBrowse = "Browse for the output folder";
inline constexpr const char* kNameProgress = "Progress";
// The PIN dialog of a signing token.
inline constexpr const char* kPinPrompt = "PIN of the signing token \"%1\":";
inline constexpr const char* kPinWrong = "The PIN was wrong. Please try again.";
inline constexpr const char* kPinCountLow = "The token has counted wrong PINs: a few more lock it.";
inline constexpr const char* kPinFinalTry = "Last try: one more wrong PIN locks the token!";
inline constexpr const char* kPinFieldName = "PIN";
// The bar's text during a run: the step's name and how far the run is.
inline constexpr const char* kStepProgressFormat = "%1: %2 %";
inline constexpr const char* kProgressFormat = "%1 %";

inline constexpr int kWindowWidth = 760;
inline constexpr int kWindowHeight = 570;
// The smallest window in which every control keeps its place and the table
// shows a few rows.
inline constexpr int kMinimumWidth = 560;
inline constexpr int kMinimumHeight = 400;
// The layout's pixel sizes are made for text this high; a larger font
// scales them.
inline constexpr int kLayoutFontHeight = 16;

class CPellgraveDlg : public QDialog {
  Q_OBJECT

 public:
  CPellgraveDlg(Workspace& workspace, UiHooks hooks, QWidget* parent = nullptr);
  ~CPellgraveDlg() override;

  // The window's start-up. False when the program folder lacks Config or jre
  // (the message has been shown): the program then ends.
  [[nodiscard]] bool Startup();

  // The commands, as the controls trigger them.
  void OnBoardTypeChanged(int index);
  void OnConfigBrowse();
  void OnKeysBrowse();
  void OnDefaultOutputClicked();
  void OnOutputBrowse();
  void OnMake();
  // Save config as. True when the table went to the chosen file (an empty
  // table writes none); false when the chooser was cancelled or the file could
  // not be written.
  bool OnSaveConfigAs();
  void ShowAboutBox();
  // The About box, built but not shown.
  [[nodiscard]] std::unique_ptr<QDialog> CreateAboutBox();

  [[nodiscard]] bool IsMaking() const { return making_; }
  [[nodiscard]] bool CloseAfterMake() const { return closeAfterMake_; }
  [[nodiscard]] Workspace& Ws() { return ws_; }
  [[nodiscard]] CListCtrlEx* List() const { return list_; }
  [[nodiscard]] QComboBox* BoardTypeBox() const { return boardType_; }
  [[nodiscard]] QLineEdit* ConfigPathBox() const { return configPath_; }
  [[nodiscard]] QLineEdit* KeysPathBox() const { return keysPath_; }
  [[nodiscard]] QLineEdit* OutputPathBox() const { return outputPath_; }
  [[nodiscard]] QPushButton* ConfigBrowseButton() const { return configBrowse_; }
  [[nodiscard]] QPushButton* KeysBrowseButton() const { return keysBrowse_; }
  [[nodiscard]] QPushButton* OutputBrowseButton() const { return outputBrowse_; }
  [[nodiscard]] QCheckBox* DefaultOutputBox() const { return defaultOutput_; }
  [[nodiscard]] QPushButton* MakeButton() const { return make_; }
  [[nodiscard]] QPushButton* SaveConfigButton() const { return saveConfig_; }
  [[nodiscard]] QPushButton* CancelButton() const { return cancel_; }
  [[nodiscard]] QProgressBar* ProgressBar() const { return progress_; }
  // The eight controls a Make run disables, in that order.
  [[nodiscard]] QList<QWidget*> MakeControls() const;

  // One message box through the hooks (user-interface thread).
  QMessageBox::StandardButton Message(const QString& text, const QString& caption = QString::fromUtf8(kAppName),
                                      QMessageBox::Icon icon = QMessageBox::NoIcon,
                                      QMessageBox::StandardButtons buttons = QMessageBox::Ok);
  // An OK box whose fixed text is followed by a detail (the file and the reason).
  void MessageDetail(const QString& text, const QString& detail, const QString& caption, QMessageBox::Icon icon);

 signals:
  void makeFinished();

 public slots:
  // Brings the window to the front, restored to its normal size.
  void RaiseWindow();
  void reject() override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  class WindowReporter;
  struct MakeRun;

  void CreateControls();
  void Layout();
  // The layout's scale for the window's font: 1 up to a 16-pixel font.
  [[nodiscard]] double LayoutScale() const;
  // Size and place the window inside the screen's available area.
  void FitToScreen();
  void SetMakeControlsEnabled(bool enabled);
  // The bar's text and accessible description from its value and the step's name.
  // `value`: the one the bar is about to take, else its present one.
  void ShowProgressText(std::optional<int> value = std::nullopt);
  void OnMakeFinished();
  // The PIN of a token, asked on the user-interface thread; none on Cancel.
  [[nodiscard]] std::optional<std::string> AskTokenPin(const PinPrompt& prompt);
  [[nodiscard]] ChooserRequest SeedChooser(const char* settingKey, const char* defaultName) const;

  Workspace& ws_;
  UiHooks hooks_;
  CUiBridge bridge_;
  std::unique_ptr<WindowReporter> reporter_;
  std::unique_ptr<MakeRun> run_;
  std::thread worker_;
  bool making_ = false;
  bool closeAfterMake_ = false;
  QString stepName_;  // what the run's current step works at

  QLabel* boardTypeLabel_ = nullptr;
  QComboBox* boardType_ = nullptr;
  QLabel* configLabel_ = nullptr;
  QLineEdit* configPath_ = nullptr;
  QPushButton* configBrowse_ = nullptr;
  QLabel* keysLabel_ = nullptr;
  QLineEdit* keysPath_ = nullptr;
  QPushButton* keysBrowse_ = nullptr;
  QCheckBox* defaultOutput_ = nullptr;
  QLineEdit* outputPath_ = nullptr;
  QPushButton* outputBrowse_ = nullptr;
  CListCtrlEx* list_ = nullptr;
  QPushButton* make_ = nullptr;
  QPushButton* saveConfig_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QProgressBar* progress_ = nullptr;
};

}  // namespace tarnel::app
