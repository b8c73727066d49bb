#pragma once

#include <QFont>

namespace kestrel {

// "Times New Roman", bold, at a pixel height: the font of the dialogs' texts.
// Where Times New Roman itself is missing, the font system picks its metric-
// compatible substitute (Liberation Serif on Debian).
QFont DialogFontPixels(int pixelHeight);
// The same at a point size.
QFont DialogFontPoints(int pointSize);

}  // namespace kestrel
