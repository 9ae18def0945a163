// The one place that asks the window toolkit for its native window, the same
// call on every system; kept apart so the rest of the display code needs only
// the system's own interface.
#include <FL/Fl_Window.H>
#include <FL/x.H>

#include "platform/display.h"

namespace zarvo::platform {

NativeWindow nativeWindowOf(const Fl_Window& window) {
    // An integer id on X11, a pointer on Windows: the one cast that takes both.
    return (NativeWindow)fl_xid(&window);
}

}  // namespace zarvo::platform
