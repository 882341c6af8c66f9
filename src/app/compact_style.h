// The window's drop-down lists. They are narrow (a 105-pixel board list, 70-
// to 120-pixel table columns): CCompactComboStyle gives their text a few more
// pixels. They sit in and beside the table, where a wheel turn is meant to
// scroll: CWheelGuard keeps such a turn from changing them, since a changed
// value marks the table as changed (the board list even empties every File
// Type cell).
#pragma once

#include <QProxyStyle>

class QComboBox;

namespace tarnel::app {

class CCompactComboStyle : public QProxyStyle {
  Q_OBJECT

 public:
  // Owned by `parent`, like any QObject.
  explicit CCompactComboStyle(QObject* parent);

  QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                       const QWidget* widget) const override;
};

// A wheel turn reaches a guarded list only when the user went to that list on
// purpose.
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
