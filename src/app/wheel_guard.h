// A wheel turn over a closed drop-down list must not change its value unless
// the user went to that list on purpose: the window's lists sit in a table and
// beside it, where a turn is meant to scroll, and a changed value marks the
// table as changed (the board list even empties every File Type cell).
#pragma once

#include <QObject>

class QComboBox;

namespace tarnel::app {

class CWheelGuard : public QObject {
  Q_OBJECT

 public:
  // Guards `combo` for as long as it lives. The list no longer takes the focus
  // from the wheel; a turn over it goes on to its parents (over the table's
  // lists the table scrolls) until the user clicks the list or moves to it
  // with Tab or a shortcut.
  static void Install(QComboBox* combo);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  explicit CWheelGuard(QComboBox* combo);

  // The list has the focus because the user gave it: not merely because its
  // row began to be edited or its window came back to the front.
  bool chosen_ = false;
};

}  // namespace tarnel::app
