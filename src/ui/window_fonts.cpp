// The embedded typefaces, registered once per process; a failure leaves the
// window readable in Helvetica rather than stopping it.
#include "ui/window_fonts.h"

#include <FL/Fl.H>

#include <exception>

#include "log/logger.h"
#include "platform/display.h"
#include "ui/embedded_assets.h"
#include "ui/window_palette.h"

namespace zarvo {
namespace {

bool attempted = false;
bool fellBack = false;

}  // namespace

void registerWindowFonts() {
    // Set before the attempt, so a failure is not retried by later windows.
    if (attempted) {
        return;
    }
    attempted = true;
    try {
        const assets::EmbeddedBytes onest = assets::onestRegularFont();
        const assets::EmbeddedBytes unbounded = assets::unboundedRegularFont();
        platform::registerPrivateFont(onest.data, onest.size, "Onest");
        platform::registerPrivateFont(unbounded.data, unbounded.size, "Unbounded");
        Fl::set_font(palette::kTextFont, "Onest");
        Fl::set_font(palette::kDisplayFont, "Unbounded");
    } catch (const std::exception&) {
        // FLTK reads a leading "B" of a family name as a style prefix, so the
        // bold fallback must be FLTK's own face, not a family called "Helvetica Bold".
        Fl::set_font(palette::kTextFont, FL_HELVETICA);
        Fl::set_font(palette::kDisplayFont, FL_HELVETICA_BOLD);
        fellBack = true;
        logMessage(LogLevel::Warn, "bootstrap.fonts registration failed");
    }
}

bool windowFontsFellBack() { return fellBack; }

}  // namespace zarvo
