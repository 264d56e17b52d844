// The application icon, drawn in code: a flash chip with a download arrow.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace orlo::gui {

// The icon at one edge length in pixels.
QPixmap AppIconPixmap(int size);
// Every size the window system may ask for (16, 24, 32, 48 and 256 pixels).
QIcon AppIcon();

}  // namespace orlo::gui
