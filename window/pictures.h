#pragma once

#include <QIcon>
#include <QPixmap>

namespace kestrel {

// The window's pictures, drawn at run time (no image files to ship).
QIcon ProgramIcon();          // notification-area icon and window icon
QPixmap StatusPagePicture();  // toolbar button "Состояние"
QPixmap SetupPagePicture();   // toolbar button "Настройки"
QPixmap CaptionPicture();     // the decorative button of the caption strip

}  // namespace kestrel
