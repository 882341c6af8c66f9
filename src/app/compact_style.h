// The window's drop-down lists are narrow (a 105-pixel board list, 70- to
// 120-pixel table columns): this style gives their text a few more pixels.
#pragma once

#include <QProxyStyle>

namespace tarnel::app {

class CCompactComboStyle : public QProxyStyle {
  Q_OBJECT

 public:
  // Owned by `parent`, like any QObject.
  explicit CCompactComboStyle(QObject* parent);

  QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl sub,
                       const QWidget* widget) const override;
};

}  // namespace tarnel::app
