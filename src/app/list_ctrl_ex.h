// CListCtrlEx: the partition table editor of the main window. A table view
// over CPartitionModel; the row being edited carries five editors and a browse
// button laid over its cells, every row a delete button in column 6, and the
// header a check-all box (section 0) and an add-row plus (section 6).
#pragma once

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QStringList>
#include <QTableView>
#include <QToolButton>

#include <array>

#include <functional>
#include <string>
#include <vector>

#include "app/partition_model.h"
#include "app/ui_hooks.h"
#include "common/model.h"

namespace tarnel::app {

inline constexpr int kRowHeight = 20;
inline constexpr int kBrowseButtonWidth = 28;
inline constexpr const char* kNewRowNameFormat = "Part %.2d";
inline constexpr const char* kDeleteRowTip = "Delete this row";
inline constexpr const char* kBrowseTip = "Choose the unsigned file";
inline constexpr const char* kBrowseKeyTip = "Choose the unsigned file (Ctrl+O)";
// Names the assistive technology reads for the table and its row editors.
inline constexpr const char* kTableName = "Partition table";
inline constexpr const char* kTableHelp =
    "Arrow keys move between rows and columns. F2 edits the current row, Tab and Shift+Tab move between its "
    "fields, Escape ends the edit. Space ticks the row, Ctrl+Space ticks or unticks all rows, Insert adds a "
    "row, Delete removes the current row, Ctrl+O chooses its unsigned file.";
// The key for what a click on the check column's header does.
inline constexpr const char* kTickAllName = "Tick or untick all rows";
inline constexpr const char* kTickAllKey = "Ctrl+Space";
inline constexpr const char* kOutputNameName = "Output Name";
inline constexpr const char* kFileTypeName = "File Type";
inline constexpr const char* kFlashNameName = "Flash Name";
inline constexpr const char* kUpgradeName = "Upgrade";
inline constexpr const char* kUnsignedFileName = "Unsigned File";

// File Type options of a board type: "None", "Fastboot", "Non-File System",
// then "yaffs File System" (boards 0 and 1) or "Ubi File System" (2 to 5),
// then "Ext4 File System".
[[nodiscard]] QStringList FileTypeOptionsForBoard(int32_t boardType);

// The header: dividers cannot be dragged, section 6 shows its image centred.
class CHeaderCtrl : public QHeaderView {
  Q_OBJECT

 public:
  explicit CHeaderCtrl(QWidget* parent = nullptr);

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
};

class CListCtrlEx : public QTableView {
  Q_OBJECT

 public:
  CListCtrlEx(PartitionTable& table, UiHooks& hooks, QWidget* parent = nullptr);

  // Columns, header images, row height and the drop-down options; run once.
  void Setup(const std::vector<std::string>& flashNames);

  // The File Type options follow the board type; an open File Type editor
  // loses its selection.
  void SetFileTypeOptions(const QStringList& options);
  // Empties the File Type cell of every row; the modified mark is not touched.
  void ClearFileTypeCells();
  [[nodiscard]] const QStringList& FileTypeOptions() const { return fileTypeOptions_; }
  [[nodiscard]] const QStringList& FlashNameOptions() const { return flashNameOptions_; }
  [[nodiscard]] static QStringList UpgradeOptions();

  // Runs `change`, which may rewrite the table directly (a file load), and
  // brings the view up to date when it returned true or changed the table.
  void ReloadTable(const std::function<bool()>& change);

  [[nodiscard]] CPartitionModel* PartitionModel() const { return model_; }
  [[nodiscard]] PartitionTable& Table() { return table_; }
  [[nodiscard]] int PrevRow() const { return table_.m_nPrevRow; }
  [[nodiscard]] int CurRow() const { return table_.m_nCurRow; }

  // The editors of the edited row, null while no row is edited.
  [[nodiscard]] int EditorRow() const { return editorRow_; }
  [[nodiscard]] QLineEdit* OutputNameEditor() const { return outputName_; }
  [[nodiscard]] QComboBox* FileTypeEditor() const { return fileType_; }
  [[nodiscard]] QComboBox* FlashNameEditor() const { return flashName_; }
  [[nodiscard]] QComboBox* UpgradeEditor() const { return upgrade_; }
  [[nodiscard]] QLineEdit* UnsignedFileEditor() const { return unsignedFile_; }
  [[nodiscard]] QToolButton* BrowseButton() const { return browse_; }
  [[nodiscard]] QToolButton* DeleteButton(int row) const;
  // Where the check box of a row is drawn, in viewport coordinates.
  [[nodiscard]] QRect CheckBoxRect(int row) const;
  [[nodiscard]] int FirstSelectedRow() const;
  [[nodiscard]] int RowsPerPage() const;

  // The header commands and the row delete button.
  void ToggleCheckAll();
  void AddRow();
  void DeleteRow(int row);

  // The keyboard's ways to the row editors. The current row (the one with the
  // keyboard focus frame) always carries the editors.
  // F2: the editor of the current cell takes the focus.
  void EditCurrentRow();
  // Ctrl+O: the current row's unsigned-file chooser.
  void ChooseUnsignedFile();
  // Makes `row` current and selected, scrolled into view; -1: none.
  void SetCurrentRow(int row);
  // Draws the table's frame with `painter` (on a widget over the whole table).
  void PaintFrame(QPainter* painter) { drawFrame(painter); }

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyboardSearch(const QString& search) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  // The row editors take the focus only when asked (F2, Tab among them, a
  // click on one), never because their row became current.
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;

 private:
  void OnHeaderClicked(int section);
  void OnDeleteClicked();
  void OnCurrentRowChanged(const QModelIndex& current);
  // The row editors in Tab order; null entries while no row is edited.
  [[nodiscard]] std::vector<QWidget*> RowEditors() const;
  // Tab or Shift+Tab inside the row editors; false when `from` is none of them.
  bool TabBetweenEditors(QWidget* from, bool forward);
  void CreateDeleteButtons(int first, int last);
  // A click or a keyboard move onto `row`: the edited row's texts go back
  // into it and the editors move to `row`.
  void MoveEditingTo(int row);
  // Leaves the edited row: its editors' texts are copied back into it.
  void LeaveEditing();
  void OpenEditors(int row);
  void CloseEditors();
  void LoadEditors(int row);
  void CopyEditorsBack();
  void SelectOnly(int row);
  void FitLastColumn();
  // Widths of columns 0 to 6 for the table's font: the layout's widths, wider
  // where a drop-down editor would cut its longest option.
  void ComputeColumnWidths();
  [[nodiscard]] int ComboWidthFor(const QStringList& options) const;
  void MarkModified() { table_.m_bModified = true; }

  PartitionTable& table_;
  UiHooks& hooks_;
  CPartitionModel* model_;
  QStyle* compactStyle_ = nullptr;  // the drop-down editors' style
  QWidget* frameOverlay_ = nullptr;  // draws the frame again, over the viewport
  QStringList fileTypeOptions_;
  QStringList flashNameOptions_;
  std::array<int, kColumnCount> widths_ = kColumnWidths;
  int rowHeight_ = kRowHeight;
  bool setUp_ = false;
  bool basePressed_ = false;
  bool inMousePress_ = false;  // the view handles a click
  // Set while the table itself moves the current row (a row being removed).
  bool followCurrent_ = true;

  int editorRow_ = -1;
  QPointer<QLineEdit> outputName_;
  QPointer<QComboBox> fileType_;
  QPointer<QComboBox> flashName_;
  QPointer<QComboBox> upgrade_;
  QPointer<QLineEdit> unsignedFile_;
  QPointer<QToolButton> browse_;
};

}  // namespace tarnel::app
