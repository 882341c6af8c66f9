#include "app/compact_style.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>

namespace tarnel::app {

CCompactComboStyle::CCompactComboStyle(QObject* parent) : QProxyStyle(QApplication::style()->name()) {
  setParent(parent);
}

QRect CCompactComboStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                                         const QWidget* widget) const {
  QRect rect = QProxyStyle::subControlRect(control, option, sub, widget);
  if (control == CC_ComboBox && sub == SC_ComboBoxEditField) rect.adjust(-2, 0, 3, 0);
  return rect;
}

// ---------------------------------------------------------------- wheel guard

CWheelGuard::CWheelGuard(QComboBox* combo) : QObject(combo) {}

void CWheelGuard::Install(QComboBox* combo) {
  combo->setFocusPolicy(Qt::StrongFocus);
  combo->installEventFilter(new CWheelGuard(combo));
}

bool CWheelGuard::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
      chosen_ = true;
      break;
    case QEvent::FocusIn:
      switch (static_cast<QFocusEvent*>(event)->reason()) {
        case Qt::MouseFocusReason:
        case Qt::TabFocusReason:
        case Qt::BacktabFocusReason:
        case Qt::ShortcutFocusReason: chosen_ = true; break;
        default: break;  // the table opening its editors, the window coming back
      }
      break;
    case QEvent::FocusOut:
      switch (static_cast<QFocusEvent*>(event)->reason()) {
        case Qt::PopupFocusReason:         // its own list of options opened
        case Qt::ActiveWindowFocusReason:  // another window in front for a while
          break;
        default: chosen_ = false; break;
      }
      break;
    case QEvent::Wheel:
      if (chosen_ && static_cast<QWidget*>(watched)->hasFocus()) break;
      // Not taken here: the wheel travels on to the parents.
      event->ignore();
      return true;
    default:
      break;
  }
  return false;
}

}  // namespace tarnel::app
