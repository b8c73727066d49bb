#pragma once

#include <QImage>
#include <QWidget>

namespace kestrel {

// A 16 × 16 drawing surface on the status page. It starts empty (transparent, so
// the page shows through) and shows whatever was last drawn on its canvas.
class IndicatorImage final : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kSize = 16;

  explicit IndicatorImage(QWidget* parent = nullptr);

  QImage& Canvas() { return canvas_; }
  const QImage& Canvas() const { return canvas_; }
  // Shows the canvas again after it was drawn on; counts the repaints asked for.
  void CanvasChanged();
  int DrawCount() const { return drawCount_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage canvas_;
  int drawCount_ = 0;
};

}  // namespace kestrel
