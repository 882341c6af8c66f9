#include "app/partition_model.h"

#include "app/icons.h"
#include "app/ui_hooks.h"

namespace tarnel::app {

CPartitionModel::CPartitionModel(PartitionTable& table, QObject* parent) : QAbstractTableModel(parent), table_(table) {}

int CPartitionModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(table_.rows.size());
}

int CPartitionModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

std::string* CPartitionModel::Cell(int row, int column) {
  return const_cast<std::string*>(static_cast<const CPartitionModel*>(this)->Cell(row, column));
}

const std::string* CPartitionModel::Cell(int row, int column) const {
  if (row < 0 || row >= rowCount()) return nullptr;
  const PartitionRow& r = table_.rows[static_cast<size_t>(row)];
  switch (column) {
    case kColOutputName: return &r.outputName;
    case kColFileType: return &r.fileType;
    case kColFlashName: return &r.flashName;
    case kColUpgrade: return &r.upgrade;
    case kColUnsignedFile: return &r.unsignedFile;
    default: return nullptr;
  }
}

QVariant CPartitionModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (index.column() == kColCheck) {
    if (role == Qt::CheckStateRole) return Checked(index.row()) ? Qt::Checked : Qt::Unchecked;
    return {};
  }
  const std::string* cell = Cell(index.row(), index.column());
  if (cell == nullptr) return {};
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return Q(*cell);
    case Qt::ToolTipRole:
      // The tooltip shows the text of the cell under the mouse (none when empty).
      return cell->empty() ? QVariant() : QVariant(Q(*cell));
    default:
      return {};
  }
}

QVariant CPartitionModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Vertical) {
    // Row numbers as the messages count them ("Line N"), from 1.
    if (section < 0 || section >= rowCount()) return {};
    if (role == Qt::DisplayRole) return section + 1;
    if (role == Qt::TextAlignmentRole) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    return {};
  }
  if (section < 0 || section >= kColumnCount) return {};
  switch (role) {
    case Qt::DisplayRole: return QString::fromUtf8(kColumnTitles[static_cast<size_t>(section)]);
    case Qt::DecorationRole:
      if (section == kColCheck) return CheckBoxImage(headerTicked_);
      if (section == kColDelete) return AddRowImage();
      return {};
    case Qt::TextAlignmentRole:
      return section == kColDelete ? QVariant(Qt::AlignCenter) : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ToolTipRole:
      if (section == kColCheck) return tr("Check or uncheck every row");
      if (section == kColDelete) return tr("Add a row");
      return {};
    default:
      return {};
  }
}

Qt::ItemFlags CPartitionModel::flags(const QModelIndex& index) const {
  // Check marks are toggled by the editor's own hit test, not by the delegate.
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QString CPartitionModel::CellText(int row, int column) const {
  const std::string* cell = Cell(row, column);
  return cell == nullptr ? QString() : Q(*cell);
}

void CPartitionModel::SetCellText(int row, int column, const QString& text) {
  std::string* cell = Cell(row, column);
  if (cell == nullptr) return;
  std::string value = S(text);
  if (*cell == value) return;
  *cell = std::move(value);
  const QModelIndex changed = index(row, column);
  emit dataChanged(changed, changed);
}

bool CPartitionModel::Checked(int row) const {
  return row >= 0 && row < rowCount() && table_.rows[static_cast<size_t>(row)].checked;
}

void CPartitionModel::SetChecked(int row, bool checked) {
  if (row < 0 || row >= rowCount()) return;
  table_.rows[static_cast<size_t>(row)].checked = checked;
  const QModelIndex changed = index(row, kColCheck);
  emit dataChanged(changed, changed, {Qt::CheckStateRole});
}

void CPartitionModel::SetAllChecked(bool checked) {
  if (rowCount() == 0) return;
  for (PartitionRow& row : table_.rows) row.checked = checked;
  emit dataChanged(index(0, kColCheck), index(rowCount() - 1, kColCheck), {Qt::CheckStateRole});
}

void CPartitionModel::InsertRow(int row, const QString& outputName) {
  if (row < 0 || row > rowCount()) return;
  beginInsertRows(QModelIndex(), row, row);
  PartitionRow added;
  added.outputName = S(outputName);
  table_.rows.insert(table_.rows.begin() + row, std::move(added));
  endInsertRows();
}

void CPartitionModel::RemoveRow(int row) {
  if (row < 0 || row >= rowCount()) return;
  beginRemoveRows(QModelIndex(), row, row);
  table_.rows.erase(table_.rows.begin() + row);
  endRemoveRows();
}

void CPartitionModel::SetHeaderTicked(bool ticked) {
  headerTicked_ = ticked;
  emit headerDataChanged(Qt::Horizontal, kColCheck, kColCheck);
}

void CPartitionModel::BeginReload() { beginResetModel(); }
void CPartitionModel::EndReload() { endResetModel(); }

}  // namespace tarnel::app
