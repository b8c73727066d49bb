#pragma once

#include <QColor>
#include <QImage>

namespace kestrel {

class IndicatorImage;

inline constexpr int kBarPositions = 17;  // 0..16

inline QColor IndicatorGood() { return QColor(0, 128, 0); }
inline QColor IndicatorBad() { return QColor(255, 0, 0); }

// Paints one link indicator on a 16 × 16 image: white ground; in green when
// `good`, else red, a 2-pixel frame along the rectangle (0,3)-(16,15) and a bar
// of five 1-pixel columns from row 5 to row 11 at x = p .. p+4, where x above 16
// wraps to x − 16 and column 16 falls outside the image.
//
// The frame's pen is centred on the rectangle's outline, so it covers columns 0
// and 15 from row 2 to row 15 and rows 2-3 and 14-15 across; the bar columns
// 1..14 stay distinguishable from it.
void PaintLinkIndicator(QImage& image, bool good, int p);

// Paints the indicator on the surface and shows it.
void DrawLinkIndicator(IndicatorImage& surface, bool good, int p);

}  // namespace kestrel
