// Helpers for tests of the bootstrap window in a real X server: the display
// check, event-loop pumping, mouse events through FLTK's dispatch, and the
// pixels of a saved screenshot.
#pragma once

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>

#include "platform/display.h"
#include "support/temp_dir.h"
#include "ui/bootstrap_window.h"

namespace zarvo::test {

// A display that is named but refuses the connection gets a few seconds: a
// busy private X server may be slow to take one more client.
inline bool displayAvailable() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        return false;
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (platform::openDisplay()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

#define ZARVO_REQUIRE_DISPLAY()                                                                         \
    if (!::zarvo::test::displayAvailable()) {                                                           \
        GTEST_SKIP() << "no X display (DISPLAY is not set or unreachable): run under xvfb-run -a";      \
    }

// Runs the event loop for the given time.
inline void pump(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        Fl::wait(0.01);
    }
}

// Runs the event loop until done() holds or the time-out passes; returns done().
template <class Predicate>
bool pumpUntil(Predicate done, double timeoutSeconds = 10.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!done() && std::chrono::steady_clock::now() < end) {
        Fl::wait(0.01);
    }
    return done();
}

// A left-button event at window coordinates (x, y), dispatched by FLTK as if
// the X server had sent it: to the grab, the pushed widget or the widget below.
inline int mouse(Fl_Window& window, int event, int x, int y) {
    Fl::e_x = x;
    Fl::e_y = y;
    Fl::e_x_root = window.x() + x;
    Fl::e_y_root = window.y() + y;
    Fl::e_keysym = FL_Button + FL_LEFT_MOUSE;
    Fl::e_state = event == FL_RELEASE ? 0 : FL_BUTTON1;
    Fl::e_is_click = 0;
    Fl::e_clicks = 0;
    return Fl::handle(event, &window);
}

inline void click(Fl_Window& window, int x, int y) {
    mouse(window, FL_MOVE, x, y);
    mouse(window, FL_PUSH, x, y);
    mouse(window, FL_RELEASE, x, y);
}

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;

    static Rgb of(std::uint32_t flColour) {
        return {static_cast<int>(flColour >> 24), static_cast<int>((flColour >> 16) & 0xFF),
                static_cast<int>((flColour >> 8) & 0xFF)};
    }
    bool operator==(const Rgb& other) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Rgb& colour) {
    return out << "rgb(" << colour.r << ", " << colour.g << ", " << colour.b << ")";
}

// A 24-bit bottom-up BMP as the screenshot writes it.
class Bmp {
public:
    explicit Bmp(std::string bytes) : bytes_(std::move(bytes)) {
        if (bytes_.size() >= 54 && bytes_.compare(0, 2, "BM") == 0) {
            width_ = static_cast<int>(read32(18));
            height_ = static_cast<int>(read32(22));
            bitsPerPixel_ = static_cast<int>(read32(28) & 0xFFFF);
            offset_ = read32(10);
        }
    }

    int width() const { return width_; }
    int height() const { return height_; }
    int bitsPerPixel() const { return bitsPerPixel_; }
    std::uint32_t read32(std::size_t at) const {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) {
            value = (value << 8) | static_cast<unsigned char>(bytes_.at(at + i));
        }
        return value;
    }
    std::size_t size() const { return bytes_.size(); }

    Rgb at(int x, int y) const {
        const std::size_t stride = (static_cast<std::size_t>(width_) * 3 + 3) & ~std::size_t{3};
        const std::size_t pixel = offset_ + (height_ - 1 - y) * stride + static_cast<std::size_t>(x) * 3;
        return {static_cast<unsigned char>(bytes_.at(pixel + 2)), static_cast<unsigned char>(bytes_.at(pixel + 1)),
                static_cast<unsigned char>(bytes_.at(pixel))};
    }

    // Length of the run of colour starting at (x, y) and going right.
    int runLength(int x, int y, Rgb colour) const {
        int length = 0;
        while (x + length < width_ && at(x + length, y) == colour) {
            ++length;
        }
        return length;
    }

    // Pixels in the box that differ from colour.
    int countOther(int x, int y, int w, int h, Rgb colour) const {
        int count = 0;
        for (int yy = y; yy < y + h; ++yy) {
            for (int xx = x; xx < x + w; ++xx) {
                count += at(xx, yy) == colour ? 0 : 1;
            }
        }
        return count;
    }

    int count(int x, int y, int w, int h, Rgb colour) const { return w * h - countOther(x, y, w, h, colour); }

    // Pixels in the box bright enough to be text: the panel and the faint logo
    // behind it stay far below.
    int countBright(int x, int y, int w, int h) const {
        int count = 0;
        for (int yy = y; yy < y + h; ++yy) {
            for (int xx = x; xx < x + w; ++xx) {
                const Rgb p = at(xx, yy);
                count += std::max({p.r, p.g, p.b}) > 0x60 ? 1 : 0;
            }
        }
        return count;
    }

private:
    std::string bytes_;
    int width_ = 0;
    int height_ = 0;
    int bitsPerPixel_ = 0;
    std::uint32_t offset_ = 0;
};

// Saves the window through its own screenshot path and reads the file back.
inline Bmp screenshot(BootstrapWindow& window, const TempDir& dir, const std::string& name = "shot.bmp") {
    const std::filesystem::path file = dir / name;
    EXPECT_TRUE(window.saveScreenshot(file));
    return Bmp(std::filesystem::exists(file) ? readFile(file) : std::string());
}

}  // namespace zarvo::test
