#include "window/pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace kestrel {
namespace {

QPixmap Blank(int size) {
  QPixmap p(size, size);
  p.fill(Qt::transparent);
  return p;
}

// A receiver mast with radio waves.
void DrawMast(QPainter& g, int size, const QColor& colour) {
  const qreal s = size;
  g.setRenderHint(QPainter::Antialiasing);
  QPen pen(colour, s / 14.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  g.setPen(pen);
  g.drawLine(QPointF(s * 0.5, s * 0.35), QPointF(s * 0.3, s * 0.92));
  g.drawLine(QPointF(s * 0.5, s * 0.35), QPointF(s * 0.7, s * 0.92));
  g.drawLine(QPointF(s * 0.38, s * 0.7), QPointF(s * 0.62, s * 0.7));
  g.setBrush(colour);
  g.drawEllipse(QPointF(s * 0.5, s * 0.3), s * 0.07, s * 0.07);
  g.setBrush(Qt::NoBrush);
  for (int i = 1; i <= 2; ++i) {
    const qreal r = s * 0.13 * i + s * 0.05;
    const QRectF box(s * 0.5 - r, s * 0.3 - r, 2 * r, 2 * r);
    g.drawArc(box, 30 * 16, 120 * 16);
  }
}

}  // namespace

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 22, 32, 48}) {
    QPixmap p = Blank(size);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(20, 70, 140));
    g.drawRoundedRect(QRectF(0, 0, size, size), size * 0.2, size * 0.2);
    DrawMast(g, size, Qt::white);
    g.end();
    icon.addPixmap(p);
  }
  return icon;
}

QPixmap StatusPagePicture() {
  QPixmap p = Blank(32);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  g.setPen(QPen(QColor(40, 40, 40), 1.5));
  g.setBrush(QColor(240, 244, 250));
  g.drawRoundedRect(QRectF(2, 4, 28, 24), 3, 3);
  g.setPen(QPen(QColor(0, 128, 0), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  QPainterPath wave;
  wave.moveTo(5, 18);
  wave.lineTo(11, 18);
  wave.lineTo(14, 9);
  wave.lineTo(18, 24);
  wave.lineTo(21, 15);
  wave.lineTo(27, 15);
  g.setBrush(Qt::NoBrush);
  g.drawPath(wave);
  return p;
}

QPixmap SetupPagePicture() {
  QPixmap p = Blank(32);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  g.translate(16, 16);
  g.setPen(Qt::NoPen);
  g.setBrush(QColor(90, 100, 115));
  for (int i = 0; i < 8; ++i) {
    g.drawRoundedRect(QRectF(-3, -14, 6, 8), 1.5, 1.5);
    g.rotate(45);
  }
  g.drawEllipse(QPointF(0, 0), 10, 10);
  g.setBrush(QColor(240, 244, 250));
  g.drawEllipse(QPointF(0, 0), 4.5, 4.5);
  return p;
}

QPixmap CaptionPicture() {
  QPixmap p = Blank(44);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  QRadialGradient glow(QPointF(18, 14), 30);
  glow.setColorAt(0, QColor(120, 170, 235));
  glow.setColorAt(1, QColor(20, 70, 140));
  g.setPen(QPen(QColor(15, 45, 95), 1.5));
  g.setBrush(glow);
  g.drawEllipse(QRectF(2, 2, 40, 40));
  g.translate(8, 7);
  DrawMast(g, 28, Qt::white);
  return p;
}

}  // namespace kestrel
