#include "window/indicator_image.h"

#include <QPainter>

namespace kestrel {

IndicatorImage::IndicatorImage(QWidget* parent)
    : QWidget(parent), canvas_(kSize, kSize, QImage::Format_ARGB32) {
  canvas_.fill(Qt::transparent);
  setFixedSize(kSize, kSize);
}

void IndicatorImage::CanvasChanged() {
  ++drawCount_;
  update();
}

void IndicatorImage::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(0, 0, canvas_);
}

}  // namespace kestrel
