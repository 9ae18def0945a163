// The display on Linux: an X11 connection opened before FLTK's own (FLTK
// ends the process when it cannot open the display itself, so a failure is
// reported here like any other), window outlines through the X11 SHAPE
// extension (the toolkit's own shape support is not compiled into every
// build), and process-private fonts through fontconfig: the bytes live in an
// anonymous memory file that stays open for the process's life, and
// fontconfig reads it as an application font through its /proc/self/fd path.
#include "platform/display.h"

#include <FL/Fl.H>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>
#include <fontconfig/fontconfig.h>
#include <sys/mman.h>

#include <cerrno>
#include <string_view>
#include <system_error>

#include "platform/files.h"

namespace zarvo::platform {
namespace {

Window shownWindow(NativeWindow native) {
    Window xid = static_cast<Window>(native);  // 0 until the window is shown
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

// Whether fontconfig's application fonts now hold a face of the family from this file.
bool applicationFontHasFamily(const std::string& file, const std::string& family) {
    FcFontSet* fonts = FcConfigGetFonts(nullptr, FcSetApplication);
    if (fonts == nullptr) {
        return false;
    }
    for (int i = 0; i < fonts->nfont; ++i) {
        FcChar8* fontFile = nullptr;
        if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &fontFile) != FcResultMatch ||
            file != reinterpret_cast<const char*>(fontFile)) {
            continue;
        }
        FcChar8* name = nullptr;
        for (int n = 0; FcPatternGetString(fonts->fonts[i], FC_FAMILY, n, &name) == FcResultMatch; ++n) {
            if (family == reinterpret_cast<const char*>(name)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

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

bool WindowRegion::contains(int x, int y) const {
    for (const RegionRectangle& r : rectangles) {
        if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) {
            return true;
        }
    }
    return false;
}

void applyWindowShape(NativeWindow window, const unsigned char* rgba, int width, int height) {
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

WindowRegion windowRegion(NativeWindow window) {
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

void registerPrivateFont(const unsigned char* bytes, std::size_t size, const std::string& family) {
    if (bytes == nullptr || size == 0) {
        throw std::system_error(ENODATA, std::generic_category(), "font " + family + " has no data");
    }
    FileHandle memory(::memfd_create(family.c_str(), MFD_CLOEXEC));
    if (!memory.valid()) {
        throw std::system_error(errno, std::generic_category(), "memfd_create");
    }
    writeAll(memory, std::string_view(reinterpret_cast<const char*>(bytes), size));
    const std::string file = "/proc/self/fd/" + std::to_string(memory.get());
    if (!FcConfigAppFontAddFile(nullptr, reinterpret_cast<const FcChar8*>(file.c_str())) ||
        !applicationFontHasFamily(file, family)) {
        throw std::system_error(EINVAL, std::generic_category(), "fontconfig refused font " + family);
    }
    // Kept open for the process's life: fontconfig opens the file again by path whenever it loads glyphs.
    memory.release();
}

}  // namespace zarvo::platform
