#include "app/icons.h"

#include <QPainter>
#include <QPainterPath>

namespace tarnel::app {

namespace {

QPixmap Blank(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

}  // namespace

QPixmap CheckBoxImage(bool ticked) {
  QPixmap pixmap = Blank(16);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x33, 0x33, 0x33), 1));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(2.5, 2.5, 11, 11));
  if (ticked) {
    p.setPen(QPen(QColor(0x10, 0x10, 0x10), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(4.5, 8), QPointF(7, 10.5), QPointF(11.5, 5)}));
  }
  return pixmap;
}

QPixmap AddRowImage() {
  QPixmap pixmap = Blank(16);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1f, 0x9d, 0x2c));
  p.drawRoundedRect(QRectF(6, 1, 4, 14), 1, 1);
  p.drawRoundedRect(QRectF(1, 6, 14, 4), 1, 1);
  return pixmap;
}

QIcon BrowseIcon() {
  QPixmap pixmap = Blank(16);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x9a, 0x6b, 0x00), 1));
  p.setBrush(QColor(0xe8, 0xb8, 0x3a));
  QPainterPath back;
  back.moveTo(1.5, 3.5);
  back.lineTo(6, 3.5);
  back.lineTo(7.5, 5);
  back.lineTo(13.5, 5);
  back.lineTo(13.5, 13.5);
  back.lineTo(1.5, 13.5);
  back.closeSubpath();
  p.drawPath(back);
  p.setBrush(QColor(0xf7, 0xd3, 0x6b));
  p.drawPolygon(QPolygonF({QPointF(3.5, 7.5), QPointF(15, 7.5), QPointF(13.5, 13.5), QPointF(1.5, 13.5)}));
  return QIcon(pixmap);
}

QIcon DeleteIcon() {
  QPixmap pixmap = Blank(16);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x44, 0x44, 0x44), 1));
  p.setBrush(QColor(0xc8, 0xc8, 0xc8));
  p.drawRect(QRectF(5.5, 1.5, 5, 2));                                               // handle
  p.drawRect(QRectF(2.5, 3.5, 11, 2));                                              // lid
  p.drawPolygon(QPolygonF({QPointF(3.5, 6), QPointF(12.5, 6), QPointF(11.5, 14.5), QPointF(4.5, 14.5)}));  // body
  p.drawLine(QPointF(6.5, 8), QPointF(6.5, 13));
  p.drawLine(QPointF(9.5, 8), QPointF(9.5, 13));
  return QIcon(pixmap);
}

QImage AppIconImage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);
  // A shield with a key hole: signed firmware for secure boot.
  QPainterPath shield;
  shield.moveTo(32, 3);
  shield.lineTo(58, 12);
  shield.cubicTo(58, 38, 48, 52, 32, 61);
  shield.cubicTo(16, 52, 6, 38, 6, 12);
  shield.closeSubpath();
  p.setPen(QPen(QColor(0x0b, 0x2e, 0x5c), 3));
  p.setBrush(QColor(0x1e, 0x5a, 0xa8));
  p.drawPath(shield);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xff, 0xd2, 0x4a));
  p.drawEllipse(QPointF(32, 26), 8, 8);
  p.drawPolygon(QPolygonF({QPointF(28, 30), QPointF(36, 30), QPointF(38, 46), QPointF(26, 46)}));
  return image;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) icon.addPixmap(QPixmap::fromImage(AppIconImage(size)));
  return icon;
}

}  // namespace tarnel::app
