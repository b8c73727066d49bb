#include "window/link_indicator.h"

#include <gtest/gtest.h>

#include <QImage>
#include <set>

#include "window/indicator_image.h"

namespace kestrel {
namespace {

struct BarCase {
  int p;
  std::set<int> columns;  // bar columns that fall on the surface (0..15)
};

void PrintTo(const BarCase& c, std::ostream* os) { *os << "p=" << c.p; }

class LinkIndicatorPixels : public ::testing::TestWithParam<std::tuple<BarCase, bool>> {};

TEST_P(LinkIndicatorPixels, FrameAndBarFollowTheRules) {
  const auto& [bar, good] = GetParam();
  IndicatorImage surface;
  DrawLinkIndicator(surface, good, bar.p);
  // What is on the screen, not only what was painted into the canvas.
  const QImage shown = surface.grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shown.size(), QSize(16, 16));
  const QRgb c = good ? qRgb(0, 128, 0) : qRgb(255, 0, 0);
  const QRgb white = qRgb(255, 255, 255);

  for (int x = 0; x < 16; ++x) {
    for (int y = 0; y < 16; ++y) {
      const bool frame = (y >= 2 && (x == 0 || x == 15)) || y == 2 || y == 3 || y == 14 || y == 15;
      const bool inBar = y >= 5 && y <= 11 && bar.columns.count(x) > 0;
      const QRgb expected = (frame || inBar) ? c : white;
      ASSERT_EQ(shown.pixel(x, y), expected) << "p=" << bar.p << " x=" << x << " y=" << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, LinkIndicatorPixels,
    ::testing::Combine(::testing::Values(BarCase{0, {0, 1, 2, 3, 4}},
                                         BarCase{12, {12, 13, 14, 15}},  // 16 is off the surface
                                         BarCase{13, {13, 14, 15, 1}}, BarCase{14, {14, 15, 1, 2}},
                                         BarCase{16, {1, 2, 3, 4}}),
                       ::testing::Bool()),
    [](const auto& info) {
      return "p" + std::to_string(std::get<0>(info.param).p) +
             (std::get<1>(info.param) ? "Green" : "Red");
    });

TEST(LinkIndicator, NothingPaintsAnEmptySurface) {
  IndicatorImage image1;
  const QImage canvas = image1.Canvas();
  for (int x = 0; x < 16; ++x)
    for (int y = 0; y < 16; ++y) ASSERT_EQ(qAlpha(canvas.pixel(x, y)), 0);
  EXPECT_EQ(image1.DrawCount(), 0);
}

}  // namespace
}  // namespace kestrel
