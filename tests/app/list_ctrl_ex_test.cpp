// The partition table editor driven with the mouse and keyboard: clicks on
// rows, check boxes and empty space, the header commands, the row delete
// buttons and the in-place editors.
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTemporaryDir>
#include <QToolButton>

#include "app_test_support.h"
#include "config/partition_config.h"

using namespace tarnel;
using namespace tarnel::app;
using namespace tarnel::app::test;

namespace {

struct Editor {
  Editor() {
    list = std::make_unique<CListCtrlEx>(table, hooks);
    list->Setup(TestFlashNames());
    list->resize(700, 300);
    list->show();
    (void)QTest::qWaitForWindowExposed(list.get());
  }
  // Rows "R0", "R1", ... with complete, listed values.
  void Fill(int n) {
    for (int i = 0; i < n; ++i) {
      PartitionRow row;
      row.outputName = "R" + std::to_string(i);
      row.fileType = kFileTypeNonFs;
      row.flashName = "EMMC_8G";
      row.upgrade = kUpgradeNo;
      row.unsignedFile = "/in/r" + std::to_string(i) + ".bin";
      table.rows.push_back(row);
    }
    list->ReloadTable([] { return true; });
    table.m_bModified = false;
  }
  QString Cell(int row, int column) const { return list->PartitionModel()->CellText(row, column); }

  PartitionTable table;
  FakeUi ui;
  UiHooks hooks = ui.Hooks();
  std::unique_ptr<CListCtrlEx> list;
};

}  // namespace

class ListCtrlExTest : public QObject {
  Q_OBJECT

 private slots:
  void headerTextsWidthsAndFixedDividers() {
    Editor e;
    QHeaderView* header = e.list->horizontalHeader();
    const QStringList titles = {"", " Output Name", "      File Type", "     Flash Name", " Upgrade", "    Unsigned File", ""};
    for (int c = 0; c < 7; ++c) {
      QCOMPARE(e.list->model()->headerData(c, Qt::Horizontal).toString(), titles[c]);
      QCOMPARE(header->sectionResizeMode(c), QHeaderView::Fixed);
    }
    // The layout's widths, or wider where a drop-down would cut its text.
    const int widths[] = {28, 100, 120, 120, 70, -1, 28};
    int others = 0;
    for (int c = 0; c < 7; ++c) {
      if (widths[c] < 0) continue;
      QVERIFY(header->sectionSize(c) >= widths[c]);
      if (c == 0 || c == 6) QCOMPARE(header->sectionSize(c), widths[c]);
      others += header->sectionSize(c);
    }
    QCOMPARE(header->sectionSize(5), e.list->viewport()->width() - others);
    e.list->resize(900, 300);
    QCOMPARE(header->sectionSize(5), e.list->viewport()->width() - others);
    // Dragging a divider changes nothing.
    const int divider = header->sectionViewportPosition(2);
    QTest::mousePress(header->viewport(), Qt::LeftButton, {}, QPoint(divider, 5));
    QTest::mouseMove(header->viewport(), QPoint(divider + 40, 5));
    const int before = header->sectionSize(1);
    QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, QPoint(divider + 40, 5));
    QCOMPARE(header->sectionSize(1), before);
    // Rows are numbered as the run's messages count them.
    e.Fill(2);
    QCOMPARE(e.list->model()->headerData(1, Qt::Vertical).toInt(), 2);
    QVERIFY(e.list->verticalHeader()->isVisible());
  }

  void lastColumnFitsWhenTheRowsOutgrowThePage() {
    Editor e;
    e.Fill(e.list->RowsPerPage() + 3);  // a vertical scroll bar takes its share of the width
    // The scroll bar appears with the view's deferred layout: wait for it, not for a fixed time.
    QVERIFY(QTest::qWaitFor([&] { return e.list->verticalScrollBar()->isVisible(); }, 5000));
    QTest::qWait(10);  // let the resize that follows the scroll bar settle
    int others = 0;
    for (int c = 0; c < kColumnCount; ++c) others += c == kColUnsignedFile ? 0 : e.list->columnWidth(c);
    QCOMPARE(e.list->horizontalHeader()->sectionSize(kColUnsignedFile), e.list->viewport()->width() - others);
    QVERIFY(!e.list->horizontalScrollBar()->isVisible());
  }

  void addRowFromHeaderNamesRowsAndStopsAt64() {
    Editor e;
    for (int i = 0; i < 11; ++i) ClickHeaderSection(e.list->horizontalHeader(), kColDelete);
    QCOMPARE(e.list->model()->rowCount(), 11);
    QCOMPARE(e.Cell(0, 1), QString("Part 00"));
    QCOMPARE(e.Cell(9, 1), QString("Part 09"));
    QCOMPARE(e.Cell(10, 1), QString("Part 10"));
    QVERIFY(!e.table.rows[10].checked);
    QVERIFY(e.table.rows[10].fileType.empty() && e.table.rows[10].unsignedFile.empty());
    QVERIFY(e.table.m_bModified);
    QVERIFY(e.list->DeleteButton(10) != nullptr);
    QVERIFY(e.ui.messages.empty());

    while (e.list->model()->rowCount() < 64) e.list->AddRow();
    QCOMPARE(e.Cell(63, 1), QString("Part 63"));
    ClickHeaderSection(e.list->horizontalHeader(), kColDelete);
    QCOMPARE(e.list->model()->rowCount(), 64);
    QCOMPARE(e.ui.Texts(), QStringList{"Only allowed to add 64 files"});
    QCOMPARE(e.ui.messages[0].caption, QString("Tarnel"));
    // The check-all header still works on a full table.
    ClickHeaderSection(e.list->horizontalHeader(), kColCheck);
    QVERIFY(e.table.rows[0].checked && e.table.rows[63].checked);
  }

  void addRowAfterDeleteIsNamedAfterTheRowCount() {
    Editor e;
    for (int i = 0; i < 3; ++i) e.list->AddRow();
    QTest::mouseClick(e.list->DeleteButton(0), Qt::LeftButton);
    QCOMPARE(e.Cell(0, 1), QString("Part 01"));
    e.list->AddRow();
    QCOMPARE(e.Cell(2, 1), QString("Part 02"));
    QCOMPARE(e.Cell(1, 1), QString("Part 02"));  // names may repeat
  }

  void checkAllHeaderTogglesEveryRow() {
    Editor e;
    e.Fill(3);
    e.table.rows[1].checked = true;
    ClickHeaderSection(e.list->horizontalHeader(), kColCheck);
    for (const PartitionRow& r : e.table.rows) QVERIFY(r.checked);
    QVERIFY(e.table.m_bModified);
    QVERIFY(e.list->PartitionModel()->HeaderTicked());
    ClickCheckBox(e.list.get(), 0);  // a single row does not change the header image
    QVERIFY(!e.table.rows[0].checked);
    QVERIFY(e.list->PartitionModel()->HeaderTicked());
    ClickHeaderSection(e.list->horizontalHeader(), kColCheck);
    for (const PartitionRow& r : e.table.rows) QVERIFY(!r.checked);
    QVERIFY(!e.list->PartitionModel()->HeaderTicked());
  }

  void clickOnRowsMovesEditorsAndMarkers() {
    Editor e;
    e.Fill(3);
    ClickCell(e.list.get(), 1, kColFlashName);
    QCOMPARE(e.list->PrevRow(), -1);
    QCOMPARE(e.list->CurRow(), 1);
    QCOMPARE(e.list->EditorRow(), 1);
    QCOMPARE(e.list->FirstSelectedRow(), 1);
    QCOMPARE(e.list->OutputNameEditor()->text(), QString("R1"));
    QCOMPARE(e.list->FileTypeEditor()->currentText(), QString("Non-File System"));
    QCOMPARE(e.list->FlashNameEditor()->currentText(), QString("EMMC_8G"));
    QCOMPARE(e.list->UpgradeEditor()->currentText(), QString("No"));
    QCOMPARE(e.list->UnsignedFileEditor()->text(), QString("/in/r1.bin"));
    QVERIFY(e.list->UnsignedFileEditor()->isReadOnly());
    QVERIFY(!e.list->FileTypeEditor()->isEditable());
    QCOMPARE(e.list->FileTypeEditor()->count(), 5);
    QCOMPARE(e.list->FlashNameEditor()->count(), 4);
    // The browse button lies over the rightmost 28 pixels of the Unsigned File cell.
    const QRect cell = e.list->visualRect(e.list->model()->index(1, kColUnsignedFile));
    const QRect browse(e.list->BrowseButton()->mapTo(e.list->viewport(), QPoint(0, 0)), e.list->BrowseButton()->size());
    QCOMPARE(browse.right(), cell.right());
    QCOMPARE(browse.width(), 28);
    QVERIFY(!e.table.m_bModified);

    ClickCell(e.list.get(), 2, kColCheck + 1);
    QCOMPARE(e.list->PrevRow(), 1);
    QCOMPARE(e.list->CurRow(), 2);
    QCOMPARE(e.list->EditorRow(), 2);
    QCOMPARE(e.Cell(1, 1), QString("R1"));  // copied back unchanged
    QCOMPARE(e.Cell(1, 3), QString("EMMC_8G"));
    QVERIFY(!e.table.m_bModified);

    // A click on the selected row's check mark column outside the box: no effect.
    const int prev = e.list->PrevRow();
    QTest::mouseClick(e.list->viewport(), Qt::LeftButton, {}, e.list->CheckBoxRect(2).bottomRight() + QPoint(4, 1));
    QCOMPARE(e.list->EditorRow(), 2);
    QCOMPARE(e.list->PrevRow(), 2);
    QVERIFY(prev != e.list->PrevRow());
  }

  void checkBoxClickKeepsSelectionAndEditors() {
    Editor e;
    e.Fill(3);
    ClickCell(e.list.get(), 0, kColOutputName);
    ClickCheckBox(e.list.get(), 2);
    QVERIFY(e.table.rows[2].checked);
    QVERIFY(e.table.m_bModified);
    QCOMPARE(e.list->FirstSelectedRow(), 0);
    QCOMPARE(e.list->EditorRow(), 0);
    QCOMPARE(e.list->CurRow(), 0);
    ClickCheckBox(e.list.get(), 2);
    QVERIFY(!e.table.rows[2].checked);
    // The selected row's own box, and a row without a selection before it.
    ClickCheckBox(e.list.get(), 0);
    QVERIFY(e.table.rows[0].checked);
    QCOMPARE(e.list->EditorRow(), 0);
    ClickEmptySpace(e.list.get());
    ClickCheckBox(e.list.get(), 1);
    QVERIFY(e.table.rows[1].checked);
    QCOMPARE(e.list->EditorRow(), -1);
    QCOMPARE(e.list->FirstSelectedRow(), -1);
    QCOMPARE(e.list->CurRow(), -1);
  }

  void clickOnEmptySpaceCopiesBackAndHidesEditors() {
    Editor e;
    e.Fill(2);
    ClickCell(e.list.get(), 1, kColOutputName);
    QTest::keyClicks(e.list->OutputNameEditor(), "x");
    QCOMPARE(e.Cell(1, 1), QString("R1x"));  // every keystroke reaches the cell
    QVERIFY(e.table.m_bModified);
    ClickEmptySpace(e.list.get());
    QCOMPARE(e.list->CurRow(), -1);
    QCOMPARE(e.list->PrevRow(), 1);
    QCOMPARE(e.list->EditorRow(), -1);
    QVERIFY(e.list->OutputNameEditor() == nullptr);
    QCOMPARE(e.list->FirstSelectedRow(), -1);
    QCOMPARE(e.Cell(1, 1), QString("R1x"));
    // Empty space again: nothing was selected, nothing happens.
    ClickEmptySpace(e.list.get());
    QCOMPARE(e.list->PrevRow(), -1);
    QCOMPARE(e.list->CurRow(), -1);
  }

  void unknownFlashNameAndLowerCaseUpgrade() {
    Editor e;
    e.Fill(2);
    e.table.rows[0].flashName = "NOT_LISTED";
    e.table.rows[0].upgrade = "yes";
    e.table.rows[0].fileType = "ext4";
    ClickCell(e.list.get(), 0, kColOutputName);
    QCOMPARE(e.list->FlashNameEditor()->currentIndex(), -1);
    QCOMPARE(e.list->FlashNameEditor()->currentText(), QString());
    QCOMPARE(e.list->UpgradeEditor()->currentText(), QString("Yes"));
    QCOMPARE(e.list->FileTypeEditor()->currentText(), QString("Ext4 File System"));
    QCOMPARE(e.Cell(0, kColFlashName), QString("NOT_LISTED"));  // not yet copied back
    ClickCell(e.list.get(), 1, kColOutputName);
    QCOMPARE(e.Cell(0, kColFlashName), QString());
    QCOMPARE(e.Cell(0, kColUpgrade), QString("Yes"));
    QCOMPARE(e.Cell(0, kColFileType), QString("Ext4 File System"));
    QCOMPARE(e.Cell(0, kColOutputName), QString("R0"));
  }

  void emptyCellsShowNoOption() {
    Editor e;
    e.list->AddRow();
    e.list->AddRow();
    ClickCell(e.list.get(), 0, kColOutputName);
    QCOMPARE(e.list->FileTypeEditor()->currentIndex(), -1);
    QCOMPARE(e.list->UpgradeEditor()->currentIndex(), -1);
    ClickCell(e.list.get(), 1, kColOutputName);
    QCOMPARE(e.Cell(0, kColFileType), QString());
    QCOMPARE(e.Cell(0, kColUpgrade), QString());
  }

  void dropDownAndBrowseEditorsWriteTheirCell() {
    Editor e;
    e.Fill(2);
    ClickCell(e.list.get(), 1, kColOutputName);
    QComboBox* fileType = e.list->FileTypeEditor();
    fileType->setFocus();
    QTest::keyClick(fileType, Qt::Key_Down);
    QCOMPARE(e.Cell(1, kColFileType), QString("yaffs File System"));
    QVERIFY(e.table.m_bModified);
    QTest::keyClick(e.list->UpgradeEditor(), Qt::Key_Up);
    QCOMPARE(e.Cell(1, kColUpgrade), QString("Yes"));
    QCOMPARE(e.Cell(0, kColFileType), QString("Non-File System"));  // other rows untouched

    e.ui.paths.push_back("/data/images/other.img");
    QTest::mouseClick(e.list->BrowseButton(), Qt::LeftButton);
    QCOMPARE(e.ui.choosers.size(), size_t{1});
    QCOMPARE(e.ui.choosers[0].kind, ChooserKind::OpenFile);
    QVERIFY(e.ui.choosers[0].filters.isEmpty());
    QVERIFY(e.ui.choosers[0].fileName.isEmpty());
    QCOMPARE(e.Cell(1, kColUnsignedFile), QString("/data/images/other.img"));
    QCOMPARE(e.list->UnsignedFileEditor()->text(), QString("/data/images/other.img"));
    // A cancelled chooser changes nothing.
    e.table.m_bModified = false;
    QTest::mouseClick(e.list->BrowseButton(), Qt::LeftButton);
    QCOMPARE(e.Cell(1, kColUnsignedFile), QString("/data/images/other.img"));
    QVERIFY(!e.table.m_bModified);
  }

  void wheelOverAClosedDropDownScrollsTheTableInstead() {
    Editor e;
    e.Fill(e.list->RowsPerPage() + 5);
    // A click on a row's Flash Name cell hands the focus to that list, but not on purpose.
    ClickCell(e.list.get(), 2, kColFlashName);
    QVERIFY(e.list->FlashNameEditor()->hasFocus());
    for (QComboBox* combo : {e.list->FileTypeEditor(), e.list->FlashNameEditor(), e.list->UpgradeEditor()}) {
      e.list->verticalScrollBar()->setValue(1);
      TurnWheel(combo, 1);
      QCOMPARE(e.list->verticalScrollBar()->value(), 0);
    }
    QCOMPARE(e.list->FileTypeEditor()->currentText(), QString("Non-File System"));
    QCOMPARE(e.list->FlashNameEditor()->currentText(), QString("EMMC_8G"));
    QCOMPARE(e.list->UpgradeEditor()->currentText(), QString("No"));
    QCOMPARE(e.Cell(2, kColFileType), QString("Non-File System"));
    QCOMPARE(e.Cell(2, kColFlashName), QString("EMMC_8G"));
    QCOMPARE(e.Cell(2, kColUpgrade), QString("No"));
    QVERIFY(!e.table.m_bModified);

    // A list the user went to on purpose follows the wheel.
    e.list->UpgradeEditor()->setFocus(Qt::TabFocusReason);
    TurnWheel(e.list->UpgradeEditor(), 1);
    QCOMPARE(e.Cell(2, kColUpgrade), QString("Yes"));
    QVERIFY(e.table.m_bModified);
  }

  void deleteAboveTheEditedRowKeepsTheEditorsOnTheirPartition() {
    Editor e;
    e.Fill(4);
    ClickCell(e.list.get(), 1, kColOutputName);
    ClickCell(e.list.get(), 2, kColOutputName);  // prev 1, cur 2
    QTest::mouseClick(e.list->DeleteButton(0), Qt::LeftButton);
    QCOMPARE(e.list->model()->rowCount(), 3);
    QCOMPARE(e.Cell(0, 1), QString("R1"));
    QCOMPARE(e.list->PrevRow(), 0);
    QCOMPARE(e.list->CurRow(), 1);
    QCOMPARE(e.list->EditorRow(), 1);
    QCOMPARE(e.list->OutputNameEditor()->text(), QString("R2"));
    QCOMPARE(e.list->FirstSelectedRow(), 1);
    QVERIFY(e.table.m_bModified);
    // Typing still reaches the same partition.
    QTest::keyClicks(e.list->OutputNameEditor(), "!");
    QCOMPARE(e.Cell(1, 1), QString("R2!"));
  }

  void deleteTheEditedRowHidesTheEditors() {
    Editor e;
    e.Fill(3);
    ClickCell(e.list.get(), 0, kColOutputName);
    ClickCell(e.list.get(), 1, kColOutputName);
    QTest::mouseClick(e.list->DeleteButton(1), Qt::LeftButton);
    QCOMPARE(e.list->PrevRow(), 0);
    QCOMPARE(e.list->CurRow(), -1);
    QCOMPARE(e.list->EditorRow(), -1);
    QCOMPARE(e.Cell(1, 1), QString("R2"));
    // Delete below: markers above stay.
    QTest::mouseClick(e.list->DeleteButton(1), Qt::LeftButton);
    QCOMPARE(e.list->PrevRow(), 0);
    QCOMPARE(e.list->model()->rowCount(), 1);
  }

  void deleteBringsAFullPageBackToTheTop() {
    Editor e;
    const int page = e.list->RowsPerPage();
    e.Fill(page + 1);
    e.list->scrollToBottom();
    QVERIFY(e.list->verticalScrollBar()->value() > 0);
    QTest::mouseClick(e.list->DeleteButton(page), Qt::LeftButton);
    QCOMPARE(e.list->verticalScrollBar()->value(), 0);
  }

  void keyboardMovesTakeTheEditorsAlong() {
    Editor e;
    e.Fill(3);
    ClickCell(e.list.get(), 0, kColOutputName);
    e.list->setFocus();
    QTest::keyClick(e.list.get(), Qt::Key_Down);
    QCOMPARE(e.list->FirstSelectedRow(), 1);
    QCOMPARE(e.list->EditorRow(), 1);
    QCOMPARE(e.list->OutputNameEditor()->text(), QString("R1"));
    e.list->setFocus();
    QTest::keyClick(e.list.get(), Qt::Key_Space);
    QVERIFY(e.table.rows[1].checked);
  }

  void fileTypeOptionsFollowTheBoardWithoutTouchingTheMark() {
    Editor e;
    e.Fill(2);
    ClickCell(e.list.get(), 0, kColOutputName);
    e.list->SetFileTypeOptions(FileTypeOptionsForBoard(3));
    e.list->ClearFileTypeCells();
    QCOMPARE(e.list->FileTypeEditor()->currentIndex(), -1);
    QCOMPARE(e.list->FileTypeEditor()->itemText(3), QString("Ubi File System"));
    QCOMPARE(e.Cell(0, kColFileType), QString());
    QCOMPARE(e.Cell(1, kColFileType), QString());
    QVERIFY(!e.table.m_bModified);
  }

  // The longest option of each drop-down editor shows whole in its field,
  // at any scale (run again with QT_SCALE_FACTOR=2).
  void dropDownEditorsShowTheirLongestOptionWhole() {
    Editor e;
    e.Fill(1);
    e.table.rows[0].fileType = kFileTypeExt4;
    e.list->ReloadTable([] { return true; });
    ClickCell(e.list.get(), 0, kColOutputName);
    for (const char* name : {"fileTypeEditor", "flashNameEditor", "upgradeEditor"}) {
      auto* combo = e.list->findChild<QComboBox*>(name);
      QVERIFY(combo != nullptr);
      int longest = 0;
      for (int i = 0; i < combo->count(); ++i)
        longest = std::max(longest, combo->fontMetrics().horizontalAdvance(combo->itemText(i)));
      QStyleOptionComboBox option;
      option.initFrom(combo);
      option.frame = true;
      option.currentText = combo->currentText();
      const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
      QVERIFY2(field.width() >= longest, qPrintable(QString("%1: %2 < %3").arg(name).arg(field.width()).arg(longest)));
      QVERIFY(combo->height() >= combo->fontMetrics().height());
    }
    QCOMPARE(e.list->findChild<QComboBox*>("fileTypeEditor")->currentText(), QString("Ext4 File System"));
  }

  void tooltipShowsTheCellText() {
    Editor e;
    e.Fill(1);
    QCOMPARE(e.list->model()->index(0, kColUnsignedFile).data(Qt::ToolTipRole).toString(), QString("/in/r0.bin"));
    e.list->AddRow();
    QVERIFY(!e.list->model()->index(1, kColFileType).data(Qt::ToolTipRole).isValid());
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QTemporaryDir settings;
  UseTemporarySettings(settings.path());
  ListCtrlExTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "list_ctrl_ex_test.moc"
