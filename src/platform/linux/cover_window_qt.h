// The cover window over Qt: a borderless black window that the window
// manager never sees (override-redirect), on top of everything, ignoring
// the mouse and the keyboard, with one line of grey-white text in its
// middle. It is made hidden and shown only once the capture leaves it out,
// so it never appears in the controller's picture. Main thread only.
#pragma once

#include "platform/linux/display_effects_x11.h"

namespace morvane {

CoverMaker makeQtCoverMaker();

// The label's text size in pixels for a screen of that height.
int coverTextPixels(double screenHeight);

}  // namespace morvane
