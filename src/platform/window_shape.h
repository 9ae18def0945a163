// The window's native outline: a rounded shape set from a mask, and the
// outline read back as the system holds it.
#pragma once

#include <vector>

class Fl_Window;

namespace zarvo::platform {

struct RegionRectangle {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// A window's native region in window coordinates.
struct WindowRegion {
    // More than one rectangle: the outline is not a plain rectangle.
    bool complex = false;
    std::vector<RegionRectangle> rectangles;

    bool contains(int x, int y) const;
};

// Sets the window's native outline to the pixels of an RGBA mask (width x
// height, 4 bytes a pixel) whose alpha is not 0. Main thread, after the window
// is shown. Raises std::system_error when the window is not shown or the
// display cannot shape windows.
void applyWindowShape(Fl_Window& window, const unsigned char* rgba, int width, int height);

// The window's outline as the system reports it. Raises std::system_error
// when the window is not shown or the display cannot shape windows.
WindowRegion windowRegion(const Fl_Window& window);

}  // namespace zarvo::platform
