// The preview's screenshot: proof that the native window region is really
// rounded, then the window's pixels as a 24-bit BMP.
#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "log/logger.h"
#include "platform/display.h"
#include "platform/files.h"
#include "ui/bootstrap_window.h"
#include "ui/window_bmp.h"

namespace zarvo {
namespace {

bool regionIsRounded(Fl_Window& window) {
    const int width = window.w();
    const int height = window.h();
    if (!window.shown() || width <= 0 || height <= 0) {
        return false;
    }
    try {
        const platform::WindowRegion region = platform::windowRegion(window);
        return region.complex && !region.contains(0, 0) && !region.contains(width - 1, 0) &&
               !region.contains(0, height - 1) && !region.contains(width - 1, height - 1) &&
               region.contains(width / 2, height / 2);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool BootstrapWindow::saveScreenshot(const std::filesystem::path& path) {
    Fl::flush();
    if (!regionIsRounded(*this)) {
        logMessage(LogLevel::Error, "bootstrap.preview native rounded region missing");
        return false;
    }
    logMessage(LogLevel::Info, "bootstrap.preview native rounded region verified");

    make_current();
    std::unique_ptr<unsigned char[]> pixels(fl_read_image(nullptr, 0, 0, w(), h()));
    if (!pixels) {
        return false;
    }
    const std::string bmp = encodeBmp24(pixels.get(), w(), h());
    try {
        platform::OutputFile file(path, platform::OutputMode::Truncate);
        file.write(bmp.data(), bmp.size());
        file.close();
    } catch (const std::exception& error) {
        logMessage(LogLevel::Error, "bootstrap.preview screenshot failed path=" + platform::pathToUtf8(path) +
                                        " error=" + error.what());
        return false;
    }
    return true;
}

}  // namespace zarvo
