#include "app/list_ctrl_ex.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcut>
#include <QStyleOptionHeader>
#include <QToolButton>

#include <algorithm>

#include "app/app_settings.h"
#include "app/compact_style.h"
#include "app/icons.h"
#include "common/paths.h"
#include "common/text.h"
#include "config/partition_config.h"
#include "config/messages.h"

namespace tarnel::app {

QStringList FileTypeOptionsForBoard(int32_t boardType) {
  QStringList options = {kFileTypeNone, kFileTypeFastboot, kFileTypeNonFs};
  options << (IsFirstGeneration(boardType) ? kFileTypeYaffsOption : kFileTypeUbi);
  options << kFileTypeExt4;
  return options;
}

QStringList CListCtrlEx::UpgradeOptions() { return {kUpgradeYes, kUpgradeNo}; }

// ---------------------------------------------------------------- header

CHeaderCtrl::CHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsClickable(true);
  setHighlightSections(false);
  setSectionsMovable(false);
  setStretchLastSection(false);
  setMinimumSectionSize(0);
  setSectionResizeMode(QHeaderView::Fixed);
  setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void CHeaderCtrl::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
  if (logicalIndex != kColDelete || model() == nullptr) {
    QHeaderView::paintSection(painter, rect, logicalIndex);
    return;
  }
  // The add-row image sits in the middle of its section.
  QStyleOptionHeader option;
  initStyleOptionForIndex(&option, logicalIndex);
  option.rect = rect;
  option.text.clear();
  option.icon = QIcon();
  // The style leaves the painter clipped to nothing when it had no clip before.
  painter->save();
  style()->drawControl(QStyle::CE_Header, &option, painter, this);
  painter->restore();
  const QPixmap image = model()->headerData(logicalIndex, Qt::Horizontal, Qt::DecorationRole).value<QPixmap>();
  const QRect target = QStyle::alignedRect(layoutDirection(), Qt::AlignCenter, image.size(), rect);
  painter->drawPixmap(target, image);
}

// ---------------------------------------------------------------- view

namespace {

// The frame once more, above the viewport: at a fractional scale the
// viewport's last row and column of device pixels round onto the frame's
// right and bottom lines, which then vanish under its background.
class CFrameOverlay : public QWidget {
 public:
  explicit CFrameOverlay(CListCtrlEx* table) : QWidget(table), table_(table) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    table_->PaintFrame(&painter);
  }

 private:
  CListCtrlEx* table_;
};

}  // namespace

CListCtrlEx::CListCtrlEx(PartitionTable& table, UiHooks& hooks, QWidget* parent)
    : QTableView(parent), table_(table), hooks_(hooks), model_(new CPartitionModel(table, this)) {
  compactStyle_ = new CCompactComboStyle(this);
  setHorizontalHeader(new CHeaderCtrl(this));
  setModel(model_);
  connect(model_, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int first, int last) { CreateDeleteButtons(first, last); });
  connect(model_, &QAbstractItemModel::modelReset, this, [this] {
    editorRow_ = -1;
    CreateDeleteButtons(0, model_->rowCount() - 1);
  });
  connect(horizontalHeader(), &QHeaderView::sectionClicked, this, &CListCtrlEx::OnHeaderClicked);
  connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current, const QModelIndex&) { OnCurrentRowChanged(current); });
  // Ctrl+O works from the table and from the row's own editors.
  auto* open = new QShortcut(QKeySequence::Open, this);
  open->setContext(Qt::WidgetWithChildrenShortcut);
  connect(open, &QShortcut::activated, this, &CListCtrlEx::ChooseUnsignedFile);
  // The header's check-all click, from the keyboard: a named action of the table.
  auto* tickAll = new QAction(tr(kTickAllName), this);
  tickAll->setObjectName("tickAllRows");
  tickAll->setShortcut(QKeySequence(tr(kTickAllKey)));
  tickAll->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  connect(tickAll, &QAction::triggered, this, &CListCtrlEx::ToggleCheckAll);
  addAction(tickAll);
  setAccessibleName(tr(kTableName));
  setAccessibleDescription(tr(kTableHelp));
  frameOverlay_ = new CFrameOverlay(this);
  frameOverlay_->setGeometry(rect());
  frameOverlay_->raise();
}

void CListCtrlEx::Setup(const std::vector<std::string>& flashNames) {
  setShowGrid(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  // The table is one stop of the window's Tab order: arrows move inside it,
  // Tab leaves it.
  setTabKeyNavigation(false);
  setFocusPolicy(Qt::StrongFocus);
  setWordWrap(false);
  setCornerButtonEnabled(false);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  // The selection stays visible when the list loses focus.
  QPalette pal = palette();
  pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
  pal.setColor(QPalette::Inactive, QPalette::HighlightedText, pal.color(QPalette::Active, QPalette::HighlightedText));
  setPalette(pal);

  fileTypeOptions_ = FileTypeOptionsForBoard(0);
  flashNameOptions_.clear();
  for (const std::string& name : flashNames) flashNameOptions_ << Q(name);

  // A larger font gets taller rows, so that the editors do not cut their text.
  rowHeight_ = std::max(kRowHeight, fontMetrics().height() + 6);
  // Row numbers, as the run's messages name rows.
  verticalHeader()->show();
  verticalHeader()->setSectionsClickable(true);
  // A long Unsigned File path keeps its file name in view.
  setTextElideMode(Qt::ElideMiddle);
  verticalHeader()->setMinimumSectionSize(1);
  verticalHeader()->setDefaultSectionSize(rowHeight_);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);

  ComputeColumnWidths();
  for (int c = 0; c < kColumnCount; ++c)
    if (c != kColUnsignedFile) setColumnWidth(c, widths_[static_cast<size_t>(c)]);

  setUp_ = true;
  table_.m_nPrevRow = -1;
  table_.m_nCurRow = -1;
  table_.m_bModified = false;
  FitLastColumn();
}

void CListCtrlEx::SetFileTypeOptions(const QStringList& options) {
  fileTypeOptions_ = options;
  if (fileType_) {
    fileType_->clear();
    fileType_->addItems(options);
    fileType_->setCurrentIndex(-1);
  }
}

void CListCtrlEx::ClearFileTypeCells() {
  for (int r = 0; r < model_->rowCount(); ++r) model_->SetCellText(r, kColFileType, QString());
}

namespace {

bool SameRows(const std::vector<PartitionRow>& a, const std::vector<PartitionRow>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const PartitionRow& x, const PartitionRow& y) {
    return x.checked == y.checked && x.outputName == y.outputName && x.fileType == y.fileType &&
           x.flashName == y.flashName && x.upgrade == y.upgrade && x.unsignedFile == y.unsignedFile;
  });
}

}  // namespace

void CListCtrlEx::ReloadTable(const std::function<bool()>& change) {
  const std::vector<PartitionRow> before = table_.rows;
  const int prevRow = table_.m_nPrevRow;
  const int curRow = table_.m_nCurRow;
  const bool replaced = change();
  if (!replaced && SameRows(before, table_.rows) && prevRow == table_.m_nPrevRow && curRow == table_.m_nCurRow)
    return;
  // The rows were replaced: the editors go without copying anything back.
  CloseEditors();
  model_->BeginReload();
  model_->EndReload();
}

QToolButton* CListCtrlEx::DeleteButton(int row) const {
  return qobject_cast<QToolButton*>(indexWidget(model_->index(row, kColDelete)));
}

QRect CListCtrlEx::CheckBoxRect(int row) const {
  const QModelIndex index = model_->index(row, kColCheck);
  if (!index.isValid()) return {};
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  option.rect = visualRect(index);
  option.index = index;
  option.features |= QStyleOptionViewItem::HasCheckIndicator;
  option.checkState = model_->Checked(row) ? Qt::Checked : Qt::Unchecked;
  return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
}

int CListCtrlEx::FirstSelectedRow() const {
  if (selectionModel() == nullptr) return -1;
  int first = -1;
  for (const QModelIndex& index : selectionModel()->selectedIndexes())
    if (first < 0 || index.row() < first) first = index.row();
  return first;
}

int CListCtrlEx::RowsPerPage() const { return std::max(1, viewport()->height() / rowHeight_); }

int CListCtrlEx::ComboWidthFor(const QStringList& options) const {
  QComboBox probe;
  probe.setStyle(compactStyle_);
  probe.setFont(font());
  probe.addItems(options);
  probe.setSizeAdjustPolicy(QComboBox::AdjustToContents);
  return probe.sizeHint().width();
}

void CListCtrlEx::ComputeColumnWidths() {
  widths_ = kColumnWidths;
  // Every File Type option of every board, the flash names, Yes and No.
  QStringList fileTypes = FileTypeOptionsForBoard(0);
  fileTypes << FileTypeOptionsForBoard(2);
  widths_[kColFileType] = std::max(widths_[kColFileType], ComboWidthFor(fileTypes));
  widths_[kColFlashName] = std::max(widths_[kColFlashName], ComboWidthFor(flashNameOptions_));
  widths_[kColUpgrade] = std::max(widths_[kColUpgrade], ComboWidthFor(UpgradeOptions()));
  // The Output Name editor scrolls; its column grows with the font only.
  const int em = fontMetrics().horizontalAdvance(QLatin1Char('M'));
  widths_[kColOutputName] = std::max(widths_[kColOutputName], 8 * em);
}

void CListCtrlEx::FitLastColumn() {
  if (!setUp_) return;
  int others = 0;
  for (int c = 0; c < kColumnCount; ++c)
    if (c != kColUnsignedFile) others += widths_[static_cast<size_t>(c)];
  setColumnWidth(kColUnsignedFile, std::max(0, viewport()->width() - others));
}

void CListCtrlEx::resizeEvent(QResizeEvent* event) {
  QTableView::resizeEvent(event);
  frameOverlay_->setGeometry(rect());
  frameOverlay_->raise();
  FitLastColumn();
}

// ---------------------------------------------------------------- header commands

void CListCtrlEx::OnHeaderClicked(int section) {
  if (section == kColCheck)
    ToggleCheckAll();
  else if (section == kColDelete)
    AddRow();
}

void CListCtrlEx::ToggleCheckAll() {
  const bool ticked = !model_->HeaderTicked();
  model_->SetHeaderTicked(ticked);
  model_->SetAllChecked(ticked);
  MarkModified();
}

void CListCtrlEx::AddRow() {
  const int n = model_->rowCount();
  if (static_cast<size_t>(n) >= kMaxPartitionRows) {
    hooks_.message(this, {kMsgOnly64Files, kAppName, QMessageBox::NoIcon, QMessageBox::Ok});
    return;
  }
  model_->InsertRow(n, Q(Format(kNewRowNameFormat, n)));
  MarkModified();
  // The new row is where the user works next: current, in view, focused.
  SetCurrentRow(n);
  setFocus(Qt::OtherFocusReason);
}

// ---------------------------------------------------------------- delete buttons

void CListCtrlEx::CreateDeleteButtons(int first, int last) {
  for (int r = first; r <= last; ++r) {
    auto* button = new QToolButton;
    button->setIcon(DeleteIcon());
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setToolTip(tr(kDeleteRowTip));
    button->setAccessibleName(tr(kDeleteRowTip));
    connect(button, &QToolButton::clicked, this, &CListCtrlEx::OnDeleteClicked);
    setIndexWidget(model_->index(r, kColDelete), button);
  }
}

void CListCtrlEx::OnDeleteClicked() {
  const QObject* button = sender();
  for (int r = 0; r < model_->rowCount(); ++r) {
    if (indexWidget(model_->index(r, kColDelete)) == button) {
      DeleteRow(r);
      return;
    }
  }
}

void CListCtrlEx::DeleteRow(int row) {
  if (row < 0 || row >= model_->rowCount()) return;
  auto follow = [row](int& marker) {
    if (marker == row)
      marker = -1;
    else if (marker > row)
      --marker;
  };
  follow(table_.m_nPrevRow);
  follow(table_.m_nCurRow);
  if (editorRow_ == row)
    CloseEditors();
  else if (editorRow_ > row)
    --editorRow_;  // the editors travel with their row
  // The view moves its current row off a removed one; where it goes is
  // decided below, from the selection.
  followCurrent_ = false;
  model_->RemoveRow(row);
  followCurrent_ = true;

  // The editors stay on, or move to, the row that is still selected. A
  // selected row that did not carry them is loaded first, so the editors never
  // show one row's texts over another.
  const int sel = FirstSelectedRow();
  if (sel < 0) {
    CloseEditors();
  } else if (sel != editorRow_) {
    OpenEditors(sel);
  }
  // The current row is the one that carries the editors, or none.
  followCurrent_ = false;
  if (editorRow_ < 0)
    selectionModel()->clearCurrentIndex();
  else
    selectionModel()->setCurrentIndex(model_->index(editorRow_, kColOutputName), QItemSelectionModel::NoUpdate);
  followCurrent_ = true;
  MarkModified();
  if (model_->rowCount() == RowsPerPage()) scrollToTop();
}

// ---------------------------------------------------------------- editors

void CListCtrlEx::OpenEditors(int row) {
  CloseEditors();
  if (row < 0 || row >= model_->rowCount()) return;
  editorRow_ = row;

  outputName_ = new QLineEdit;
  outputName_->setObjectName("outputNameEditor");
  outputName_->setAccessibleName(tr(kOutputNameName));
  connect(outputName_, &QLineEdit::textEdited, this, [this](const QString& text) {
    model_->SetCellText(editorRow_, kColOutputName, text);
    MarkModified();
  });

  auto makeCombo = [this](const QStringList& options, int column, const char* name, const char* objectName) {
    auto* combo = new QComboBox;
    combo->setObjectName(objectName);
    combo->setEditable(false);
    combo->setStyle(compactStyle_);
    combo->addItems(options);
    combo->setAccessibleName(tr(name));
    CWheelGuard::Install(combo);
    connect(combo, &QComboBox::activated, this, [this, combo, column](int index) {
      model_->SetCellText(editorRow_, column, combo->itemText(index));
      MarkModified();
    });
    return combo;
  };
  fileType_ = makeCombo(fileTypeOptions_, kColFileType, kFileTypeName, "fileTypeEditor");
  flashName_ = makeCombo(flashNameOptions_, kColFlashName, kFlashNameName, "flashNameEditor");
  upgrade_ = makeCombo(UpgradeOptions(), kColUpgrade, kUpgradeName, "upgradeEditor");

  // Column 5: the read-only path with the browse button over its rightmost 28 pixels.
  auto* unsignedCell = new QWidget;
  auto* layout = new QHBoxLayout(unsignedCell);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  unsignedFile_ = new QLineEdit;
  unsignedFile_->setObjectName("unsignedFileEditor");
  unsignedFile_->setReadOnly(true);
  unsignedFile_->setAccessibleName(tr(kUnsignedFileName));
  browse_ = new QToolButton;
  browse_->setObjectName("unsignedFileBrowse");
  browse_->setIcon(BrowseIcon());
  browse_->setFixedWidth(kBrowseButtonWidth);
  browse_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
  browse_->setToolTip(tr(kBrowseKeyTip));
  browse_->setAccessibleName(tr(kBrowseTip));
  layout->addWidget(unsignedFile_, 1);
  layout->addWidget(browse_);
  connect(browse_, &QToolButton::clicked, this, [this] {
    ChooserRequest request;
    request.kind = ChooserKind::OpenFile;
    const QString current = model_->CellText(editorRow_, kColUnsignedFile);
    request.folder = current.isEmpty() ? StartFolder(QString()) : Q(FolderPart(S(current)));
    const QString path = hooks_.choose(this, request);
    if (path.isEmpty() || editorRow_ < 0) return;
    RememberChosen(path);
    model_->SetCellText(editorRow_, kColUnsignedFile, path);
    if (unsignedFile_) {
      unsignedFile_->setText(path);
      unsignedFile_->end(false);
    }
    MarkModified();
  });

  // Tab passes the table as one stop; F2 or a click reaches the editors, and
  // Tab then walks them.
  for (QWidget* editor : RowEditors()) {
    editor->setFocusPolicy(Qt::ClickFocus);
    editor->installEventFilter(this);
  }

  LoadEditors(row);
  setIndexWidget(model_->index(row, kColOutputName), outputName_);
  setIndexWidget(model_->index(row, kColFileType), fileType_);
  setIndexWidget(model_->index(row, kColFlashName), flashName_);
  setIndexWidget(model_->index(row, kColUpgrade), upgrade_);
  setIndexWidget(model_->index(row, kColUnsignedFile), unsignedCell);
}

void CListCtrlEx::CloseEditors() {
  if (editorRow_ >= 0 && editorRow_ < model_->rowCount()) {
    // The focus stays in the table rather than following the Tab order on.
    QWidget* focus = QApplication::focusWidget();
    if (focus != nullptr && focus != this && isAncestorOf(focus)) setFocus(Qt::OtherFocusReason);
    for (int c = kColOutputName; c <= kColUnsignedFile; ++c) {
      QWidget* editor = indexWidget(model_->index(editorRow_, c));
      setIndexWidget(model_->index(editorRow_, c), nullptr);
      // Released later by the view; gone from the window at once.
      if (editor != nullptr) {
        editor->hide();
        editor->setParent(nullptr);
      }
    }
  }
  editorRow_ = -1;
  outputName_ = nullptr;
  fileType_ = nullptr;
  flashName_ = nullptr;
  upgrade_ = nullptr;
  unsignedFile_ = nullptr;
  browse_ = nullptr;
}

void CListCtrlEx::LoadEditors(int row) {
  outputName_->setText(model_->CellText(row, kColOutputName));
  // A drop-down editor shows the first option that begins with the cell's
  // text, ignoring case; none when no option does (or the cell is empty).
  auto select = [this, row](QComboBox* combo, int column) {
    combo->setCurrentIndex(-1);
    const std::string text = S(model_->CellText(row, column));
    if (text.empty()) return;
    for (int i = 0; i < combo->count(); ++i) {
      if (StartsWithNoCase(S(combo->itemText(i)), text)) {
        combo->setCurrentIndex(i);
        return;
      }
    }
  };
  select(fileType_, kColFileType);
  select(flashName_, kColFlashName);
  select(upgrade_, kColUpgrade);
  unsignedFile_->setText(model_->CellText(row, kColUnsignedFile));
  unsignedFile_->end(false);  // the file name in view rather than the path's start
}

void CListCtrlEx::CopyEditorsBack() {
  if (editorRow_ < 0 || !outputName_) return;
  // A drop-down without a selection has no text, so its cell is emptied.
  model_->SetCellText(editorRow_, kColOutputName, outputName_->text());
  model_->SetCellText(editorRow_, kColFileType, fileType_->currentIndex() < 0 ? QString() : fileType_->currentText());
  model_->SetCellText(editorRow_, kColFlashName, flashName_->currentIndex() < 0 ? QString() : flashName_->currentText());
  model_->SetCellText(editorRow_, kColUpgrade, upgrade_->currentIndex() < 0 ? QString() : upgrade_->currentText());
  model_->SetCellText(editorRow_, kColUnsignedFile, unsignedFile_->text());
}

void CListCtrlEx::LeaveEditing() {
  CopyEditorsBack();
  CloseEditors();
}

void CListCtrlEx::MoveEditingTo(int row) {
  LeaveEditing();
  OpenEditors(row);
}

std::vector<QWidget*> CListCtrlEx::RowEditors() const {
  return {outputName_, fileType_, flashName_, upgrade_, unsignedFile_, browse_};
}

bool CListCtrlEx::TabBetweenEditors(QWidget* from, bool forward) {
  const std::vector<QWidget*> editors = RowEditors();
  const auto at = std::find(editors.begin(), editors.end(), from);
  if (at == editors.end() || from == nullptr) return false;
  const auto index = at - editors.begin();
  const auto next = index + (forward ? 1 : -1);
  if (next >= 0 && next < static_cast<decltype(next)>(editors.size()) && editors[static_cast<size_t>(next)]) {
    editors[static_cast<size_t>(next)]->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
  }
  // Past the row's last field Tab goes on to what follows the table; before
  // its first field Shift+Tab comes back to the table.
  setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
  if (forward) (void)focusNextPrevChild(true);
  return true;
}

bool CListCtrlEx::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    if (key->key() == Qt::Key_Tab && (mods == Qt::NoModifier))
      return TabBetweenEditors(qobject_cast<QWidget*>(watched), true);
    if (key->key() == Qt::Key_Backtab || (key->key() == Qt::Key_Tab && mods == Qt::ShiftModifier))
      return TabBetweenEditors(qobject_cast<QWidget*>(watched), false);
  }
  return QTableView::eventFilter(watched, event);
}

void CListCtrlEx::OnCurrentRowChanged(const QModelIndex& current) {
  if (!followCurrent_) return;
  const int row = current.isValid() ? current.row() : -1;
  if (row == editorRow_) return;
  // However the current row moved (focus coming in, a key), the editors go along.
  table_.m_nPrevRow = table_.m_nCurRow;
  table_.m_nCurRow = row;
  if (row < 0) {
    LeaveEditing();
    return;
  }
  MoveEditingTo(row);
  if (!selectionModel()->isRowSelected(row, QModelIndex()))
    selectionModel()->select(current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void CListCtrlEx::SetCurrentRow(int row) {
  if (row < 0 || row >= model_->rowCount()) {
    selectionModel()->clearCurrentIndex();
    return;
  }
  SelectOnly(row);
  // Already current: the editors still belong on it.
  if (editorRow_ != row) OnCurrentRowChanged(model_->index(row, kColOutputName));
}

void CListCtrlEx::EditCurrentRow() {
  if (model_->rowCount() == 0) return;
  QModelIndex current = currentIndex();
  if (!current.isValid()) {
    SetCurrentRow(0);
    current = currentIndex();
  } else if (editorRow_ != current.row()) {
    SetCurrentRow(current.row());
  }
  QWidget* target = outputName_;
  switch (current.column()) {
    case kColFileType: target = fileType_; break;
    case kColFlashName: target = flashName_; break;
    case kColUpgrade: target = upgrade_; break;
    case kColUnsignedFile: target = browse_; break;
    default: break;
  }
  if (target) target->setFocus(Qt::ShortcutFocusReason);
}

void CListCtrlEx::ChooseUnsignedFile() {
  if (model_->rowCount() == 0 || !isEnabled()) return;
  const QModelIndex current = currentIndex();
  const int row = current.isValid() ? current.row() : 0;
  if (editorRow_ != row) SetCurrentRow(row);
  if (browse_) browse_->click();
}

void CListCtrlEx::SelectOnly(int row) {
  const QModelIndex index = model_->index(row, kColOutputName);
  selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  scrollTo(index);
}

// ---------------------------------------------------------------- mouse and keys

void CListCtrlEx::mousePressEvent(QMouseEvent* event) {
  basePressed_ = false;
  if (event->button() != Qt::LeftButton) {
    event->accept();
    return;
  }
  const QPoint pos = event->position().toPoint();
  const int sel = FirstSelectedRow();
  const QModelIndex hit = indexAt(pos);
  const int hitRow = hit.isValid() ? hit.row() : -1;

  // A click on a row's check box changes only its check mark.
  if (hitRow >= 0 && hit.column() == kColCheck && CheckBoxRect(hitRow).contains(pos)) {
    model_->SetChecked(hitRow, !model_->Checked(hitRow));
    MarkModified();
    return;
  }

  table_.m_nPrevRow = table_.m_nCurRow;
  table_.m_nCurRow = hitRow;
  if (hitRow == sel) return;

  if (hitRow < 0) {
    // Empty space: the edited row gets its texts back and nothing stays selected.
    LeaveEditing();
    clearSelection();
    selectionModel()->clearCurrentIndex();
    return;
  }
  MoveEditingTo(hitRow);
  inMousePress_ = true;
  QTableView::mousePressEvent(event);
  inMousePress_ = false;
  basePressed_ = true;
}

void CListCtrlEx::mouseReleaseEvent(QMouseEvent* event) {
  if (basePressed_) QTableView::mouseReleaseEvent(event);
  basePressed_ = false;
}

void CListCtrlEx::mouseMoveEvent(QMouseEvent* event) {
  // No selection by dragging: the editors follow clicks only.
  if (event->buttons() == Qt::NoButton) QTableView::mouseMoveEvent(event);
}

void CListCtrlEx::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second click of a double click counts as a click of its own.
  mousePressEvent(event);
}

void CListCtrlEx::keyPressEvent(QKeyEvent* event) {
  CursorAction action{};
  switch (event->key()) {
    case Qt::Key_Escape:
      // Escape in the edited row ends that edit, as a click on empty space
      // does; only without one does it go on to close the window.
      if (editorRow_ < 0) {
        QTableView::keyPressEvent(event);
        return;
      }
      table_.m_nPrevRow = table_.m_nCurRow;
      table_.m_nCurRow = -1;
      LeaveEditing();
      clearSelection();
      selectionModel()->clearCurrentIndex();
      setFocus(Qt::OtherFocusReason);
      event->accept();
      return;
    case Qt::Key_Up: action = MoveUp; break;
    case Qt::Key_Down: action = MoveDown; break;
    case Qt::Key_PageUp: action = MovePageUp; break;
    case Qt::Key_PageDown: action = MovePageDown; break;
    case Qt::Key_Home: action = MoveHome; break;
    case Qt::Key_End: action = MoveEnd; break;
    case Qt::Key_F2:
      if (event->modifiers() == Qt::NoModifier) {
        EditCurrentRow();
        event->accept();
        return;
      }
      QTableView::keyPressEvent(event);
      return;
    case Qt::Key_Insert:
    case Qt::Key_Delete:
      // Only on the table itself: in an editor these keys edit its text.
      if (QApplication::focusWidget() == this && event->modifiers() == Qt::NoModifier) {
        if (event->key() == Qt::Key_Insert) {
          AddRow();
        } else if (currentIndex().isValid()) {
          const int row = currentIndex().row();
          DeleteRow(row);
          SetCurrentRow(std::min(row, model_->rowCount() - 1));
        }
        event->accept();
        return;
      }
      QTableView::keyPressEvent(event);
      return;
    case Qt::Key_Space: {
      if (event->modifiers() != Qt::NoModifier) {
        QTableView::keyPressEvent(event);
        return;
      }
      // Space ticks or clears the check box of the selected row.
      const int sel = FirstSelectedRow();
      if (sel >= 0) {
        model_->SetChecked(sel, !model_->Checked(sel));
        MarkModified();
      }
      event->accept();
      return;
    }
    default:
      QTableView::keyPressEvent(event);
      return;
  }
  // Keyboard moves take the editors along, as a click on the new row does.
  const QModelIndex target = moveCursor(action, event->modifiers());
  event->accept();
  if (!target.isValid()) return;
  const int sel = FirstSelectedRow();
  table_.m_nPrevRow = table_.m_nCurRow;
  table_.m_nCurRow = target.row();
  if (target.row() == sel) return;
  MoveEditingTo(target.row());
  SelectOnly(target.row());
}

bool CListCtrlEx::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  // A click on a cell hands the focus to that cell's editor.
  return inMousePress_ && QTableView::edit(index, trigger, event);
}

void CListCtrlEx::keyboardSearch(const QString&) {
  // Typing does not move the selection away from the editors.
}

}  // namespace tarnel::app
