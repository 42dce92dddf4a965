// The scanner's own pictures, drawn from the SVG files compiled into the program.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace Artwork {

// The window icon, with 16 and 32 pixel images.
QIcon windowIcon();
// The scanning picture as a square of px pixels (48 by default: 720 twips at 96 dpi).
QPixmap scanningPicture(int px = 48);

} // namespace Artwork
