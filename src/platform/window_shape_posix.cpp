// Window outlines through the X11 SHAPE extension; the toolkit's own shape
// support is not compiled into every build, so the bounding shape is set here.
#include "platform/window_shape.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {
namespace {

Window shownWindow(const Fl_Window& window) {
    Window xid = fl_xid(&window);  // 0 until the window is shown
    if (xid == 0 || fl_display == nullptr) {
        throw std::system_error(ENOTCONN, std::generic_category(), "window is not shown");
    }
    int eventBase = 0;
    int errorBase = 0;
    if (!XShapeQueryExtension(fl_display, &eventBase, &errorBase)) {
        throw std::system_error(ENOTSUP, std::generic_category(), "X11 SHAPE extension unavailable");
    }
    return xid;
}

}  // namespace

bool WindowRegion::contains(int x, int y) const {
    for (const RegionRectangle& r : rectangles) {
        if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) {
            return true;
        }
    }
    return false;
}

void applyWindowShape(Fl_Window& window, const unsigned char* rgba, int width, int height) {
    Window xid = shownWindow(window);
    // An X bitmap: rows padded to whole bytes, least significant bit first.
    const int stride = (width + 7) / 8;
    std::vector<char> bits(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (rgba[(static_cast<std::size_t>(y) * width + x) * 4 + 3] != 0) {
                bits[static_cast<std::size_t>(y) * stride + x / 8] |= static_cast<char>(1 << (x % 8));
            }
        }
    }
    Pixmap mask = XCreateBitmapFromData(fl_display, xid, bits.data(), static_cast<unsigned>(width),
                                        static_cast<unsigned>(height));
    if (mask == None) {
        throw std::system_error(ENOMEM, std::generic_category(), "XCreateBitmapFromData");
    }
    XShapeCombineMask(fl_display, xid, ShapeBounding, 0, 0, mask, ShapeSet);
    XFreePixmap(fl_display, mask);
    XFlush(fl_display);
}

WindowRegion windowRegion(const Fl_Window& window) {
    Window xid = shownWindow(window);
    int count = 0;
    int ordering = 0;
    XRectangle* rectangles = XShapeGetRectangles(fl_display, xid, ShapeBounding, &count, &ordering);
    WindowRegion region;
    for (int i = 0; i < count; ++i) {
        region.rectangles.push_back({rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height});
    }
    if (rectangles != nullptr) {
        XFree(rectangles);
    }
    region.complex = count > 1;
    return region;
}

}  // namespace zarvo::platform
