// The partition table of the workspace as a Qt table model: column 0 the
// check mark, 1 to 5 the row's texts, 6 the delete button (no data).
#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <array>

#include "common/model.h"

namespace tarnel::app {

enum PartitionColumn : int {
  kColCheck = 0,
  kColOutputName = 1,
  kColFileType = 2,
  kColFlashName = 3,
  kColUpgrade = 4,
  kColUnsignedFile = 5,
  kColDelete = 6,
  kColumnCount = 7,
};

// Header titles, leading blanks included.
inline constexpr std::array<const char*, kColumnCount> kColumnTitles = {
    "", " Output Name", "      File Type", "     Flash Name", " Upgrade", "    Unsigned File", ""};
// Widths of columns 0 to 6; column 5 takes the client width minus the others.
inline constexpr std::array<int, kColumnCount> kColumnWidths = {28, 100, 120, 120, 70, 0, 28};
inline constexpr int kFixedColumnsWidth = 466;
static_assert(kColumnWidths[0] + kColumnWidths[1] + kColumnWidths[2] + kColumnWidths[3] + kColumnWidths[4] +
                  kColumnWidths[6] == kFixedColumnsWidth);

class CPartitionModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit CPartitionModel(PartitionTable& table, QObject* parent = nullptr);

  [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

  [[nodiscard]] PartitionTable& Table() { return table_; }
  [[nodiscard]] const PartitionTable& Table() const { return table_; }

  // Text of column 1 to 5; empty for a row or column that does not exist.
  [[nodiscard]] QString CellText(int row, int column) const;
  void SetCellText(int row, int column, const QString& text);
  [[nodiscard]] bool Checked(int row) const;
  void SetChecked(int row, bool checked);
  void SetAllChecked(bool checked);

  // An empty unchecked row at `row` whose Output Name is `outputName`.
  void InsertRow(int row, const QString& outputName);
  void RemoveRow(int row);

  // The check-all image of header section 0.
  [[nodiscard]] bool HeaderTicked() const { return headerTicked_; }
  void SetHeaderTicked(bool ticked);

  // Brackets a change made to the table outside the model (a file load).
  void BeginReload();
  void EndReload();

 private:
  [[nodiscard]] std::string* Cell(int row, int column);
  [[nodiscard]] const std::string* Cell(int row, int column) const;

  PartitionTable& table_;
  bool headerTicked_ = false;
};

}  // namespace tarnel::app
