#include "window/link_indicator.h"

#include <algorithm>

#include "window/indicator_image.h"

namespace kestrel {
namespace {

void FillRect(QImage& image, int x0, int y0, int x1, int y1, QRgb colour) {
  // Half-open ranges [x0, x1) × [y0, y1), clipped to the image.
  for (int y = std::max(y0, 0); y < std::min(y1, image.height()); ++y)
    for (int x = std::max(x0, 0); x < std::min(x1, image.width()); ++x)
      image.setPixel(x, y, colour);
}

}  // namespace

void PaintLinkIndicator(QImage& image, bool good, int p) {
  const QRgb white = qRgb(255, 255, 255);
  const QRgb c = (good ? IndicatorGood() : IndicatorBad()).rgb();
  FillRect(image, 0, 0, 16, 16, white);

  // Frame: a 2-pixel pen centred on the outline of (0,3)-(16,15).
  FillRect(image, -1, 2, 17, 4, c);    // top
  FillRect(image, -1, 14, 17, 16, c);  // bottom
  FillRect(image, -1, 2, 1, 16, c);    // left
  FillRect(image, 15, 2, 17, 16, c);   // right

  // Bar: five columns, rows 5..11, wrapping above 16.
  for (int k = 0; k < 5; ++k) {
    int x = p + k;
    if (x > 16) x -= 16;
    FillRect(image, x, 5, x + 1, 12, c);
  }
}

void DrawLinkIndicator(IndicatorImage& surface, bool good, int p) {
  PaintLinkIndicator(surface.Canvas(), good, p);
  surface.CanvasChanged();
}

}  // namespace kestrel
