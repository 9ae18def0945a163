// The connection to the display that windows are shown on.
#pragma once

namespace zarvo::platform {

// Opens the display for the window toolkit when it is not open yet. False
// when no display is reachable, so a window cannot be shown. Main thread.
bool openDisplay();

}  // namespace zarvo::platform
