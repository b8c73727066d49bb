#include "window/dialog_fonts.h"

namespace kestrel {
namespace {

QFont TimesBold() {
  QFont f(QStringLiteral("Times New Roman"));
  f.setStyleHint(QFont::Serif);
  f.setBold(true);
  return f;
}

}  // namespace

QFont DialogFontPixels(int pixelHeight) {
  QFont f = TimesBold();
  f.setPixelSize(pixelHeight);
  return f;
}

QFont DialogFontPoints(int pointSize) {
  QFont f = TimesBold();
  f.setPointSize(pointSize);
  return f;
}

}  // namespace kestrel
