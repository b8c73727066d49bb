#pragma once

#include <QWidget>

namespace kestrel {

// Places a top-level window (at its present size) in the middle of the screen's
// available area.
void CenterOnScreen(QWidget& window);

}  // namespace kestrel
