#include "app/compact_style.h"

#include <QApplication>

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

}  // namespace tarnel::app
