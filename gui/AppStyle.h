// Styled controls for the scanner. On this platform Qt draws its own styled
// widgets, so there are no system versions or themes to ask about: the styles
// are there whenever Qt's own style can be created.
#pragma once

namespace AppStyle {

bool stylesAvailable();
// Call after the application object exists and before the window is created.
void initStyles();

} // namespace AppStyle
