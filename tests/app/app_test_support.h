// Shared pieces of the desktop program tests: message boxes and choosers
// answered in code, settings kept away from the user's own, and a program
// folder the window can start from.
#pragma once

#include <QMessageBox>
#include <QPoint>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/list_ctrl_ex.h"
#include "app/pellgrave_dlg.h"
#include "app/ui_hooks.h"
#include "common/model.h"
#include "support/test_support.h"

class QHeaderView;

namespace tarnel::app::test {

// Records every message box and chooser; answers from queues.
class FakeUi {
 public:
  [[nodiscard]] UiHooks Hooks();

  std::vector<MessageRequest> messages;
  std::vector<ChooserRequest> choosers;
  // Buttons to press, in order; when empty: OK, or No for a question.
  std::deque<QMessageBox::StandardButton> answers;
  // Paths to choose, in order; when empty the chooser is cancelled.
  std::deque<QString> paths;
  // Runs inside every message box, before it is answered.
  std::function<void(const MessageRequest&)> onMessage;
  // Shows the real message boxes instead (recorded all the same).
  bool realBoxes = false;

  [[nodiscard]] QStringList Texts() const;
  void Clear() {
    messages.clear();
    choosers.clear();
  }
};

// Keeps QSettings of this test process under `folder` and empties them.
void UseTemporarySettings(const QString& folder);
void ClearSettings();

// The flash names of the test FlashConfig.xml, in file order.
[[nodiscard]] std::vector<std::string> TestFlashNames();

// A program folder under a temp folder: Config/FlashConfig.xml and jre/ (each
// optional), ending with a separator.
struct ProgramFolder {
  explicit ProgramFolder(bool withConfig = true, bool withJre = true);
  tarnel::test::TempFolder root;
  std::string appDir;
};

// A partition table file written as text (not by our writer).
struct TableRowText {
  std::string sel, outputName, fileType, flashName, upgrade, unsignedFile;
};
void WriteTableFile(const std::string& path, const std::vector<TableRowText>& rows);

// A window over its own workspace, started from its own program folder.
struct DialogFixture {
  explicit DialogFixture(bool withConfig = true, bool withJre = true);
  ~DialogFixture();
  [[nodiscard]] bool Start();  // Startup(); shows the window when it succeeds

  ProgramFolder home;
  Workspace ws;
  FakeUi ui;
  std::unique_ptr<CPellgraveDlg> dlg;
};

// Mouse helpers in the table editor's viewport and header.
QPoint CellCentre(const CListCtrlEx* list, int row, int column);
void ClickCell(CListCtrlEx* list, int row, int column);
void ClickCheckBox(CListCtrlEx* list, int row);
// A click below the last row.
void ClickEmptySpace(CListCtrlEx* list);
void ClickHeaderSection(QHeaderView* header, int section);
// `notches` notches of the mouse wheel (negative: towards the user) over the
// middle of `target`, delivered through its window as the platform does.
void TurnWheel(QWidget* target, int notches);

}  // namespace tarnel::app::test
