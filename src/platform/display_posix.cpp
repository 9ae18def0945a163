// The X11 display for FLTK. FLTK ends the process when it cannot open the
// display itself, so the connection is made here first, where a failure can
// be reported like any other.
#include "platform/display.h"

#include <FL/Fl.H>
#include <FL/x.H>
#include <X11/Xlib.h>

namespace zarvo::platform {

bool openDisplay() {
    if (fl_display != nullptr) {
        return true;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return false;
    }
    fl_open_display(display);
    return true;
}

}  // namespace zarvo::platform
