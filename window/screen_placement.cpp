#include "window/screen_placement.h"

#include <QGuiApplication>
#include <QScreen>

namespace kestrel {

void CenterOnScreen(QWidget& window) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  // The whole window with its frame: the frame is known once the window exists
  // on the platform side.
  if (!window.testAttribute(Qt::WA_WState_Created)) window.winId();
  const QSize size = window.frameGeometry().size();
  window.move(area.x() + (area.width() - size.width()) / 2,
              area.y() + (area.height() - size.height()) / 2);
}

}  // namespace kestrel
