// The display that windows are shown on: opening it, the window's native
// outline (a rounded shape set from a mask, and the outline read back as the
// system holds it), and typefaces carried inside the program, made available
// to its own text drawing only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Fl_Window;

namespace zarvo::platform {

// Opens the display for the window toolkit when it is not open yet. False
// when no display is reachable, so a window cannot be shown. Main thread.
bool openDisplay();

// --- Window outline ---------------------------------------------------------------

// A shown window as the system knows it (an X11 window id, a Win32 HWND); 0
// while it is not shown.
using NativeWindow = std::uintptr_t;

// The toolkit window's native window. Main thread.
NativeWindow nativeWindowOf(const Fl_Window& window);

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
void applyWindowShape(NativeWindow window, const unsigned char* rgba, int width, int height);
inline void applyWindowShape(Fl_Window& window, const unsigned char* rgba, int width, int height) {
    applyWindowShape(nativeWindowOf(window), rgba, width, height);
}

// The window's outline as the system reports it. Raises std::system_error
// when the window is not shown or the display cannot shape windows.
WindowRegion windowRegion(NativeWindow window);
inline WindowRegion windowRegion(const Fl_Window& window) { return windowRegion(nativeWindowOf(window)); }

// --- Private fonts ---------------------------------------------------------------

// Registers the bytes of one font file for this process only, under the family
// name stored in the file, which must equal family: nothing is installed for
// other programs. The bytes stay in use for the process's life. Raises
// std::system_error when the system refuses the font (no bytes, not a font, or
// another family inside).
void registerPrivateFont(const unsigned char* bytes, std::size_t size, const std::string& family);

}  // namespace zarvo::platform
