// The painting of the bootstrap window: panel, logos, brand, status and
// detail lines, progress bar, and the three buttons.
#include "ui/window_drawing.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <string>

#include "ui/bootstrap_window.h"
#include "ui/bootstrap_window_view.h"
#include "ui/window_palette.h"

namespace zarvo {
namespace {

constexpr Fl_Align kLeftBox = FL_ALIGN_LEFT | FL_ALIGN_INSIDE;
constexpr int kBarX = 34;
constexpr int kBarY = 246;
constexpr int kBarHeight = 6;
constexpr int kSegmentWidth = 60;

// Texts come from the flow and the log; "@" must not turn into a symbol.
void drawText(const char* text, int x, int y, int w, int h, Fl_Align align) {
    fl_draw(text, x, y, w, h, align, nullptr, 0);
}

}  // namespace

void fillRoundedRect(int x, int y, int w, int h, int r, Fl_Color colour) {
    fl_color(colour);
    const int radius = std::min({r, w / 2, h / 2});
    fl_rectf(x + radius, y, w - 2 * radius, h);
    fl_rectf(x, y + radius, w, h - 2 * radius);
    if (radius <= 0) {
        return;  // an empty pie would be drawn as a huge arc by some back ends
    }
    const int d = 2 * radius;
    fl_pie(x, y, d, d, 90, 180);
    fl_pie(x + w - d, y, d, d, 0, 90);
    fl_pie(x, y + h - d, d, d, 180, 270);
    fl_pie(x + w - d, y + h - d, d, d, 270, 360);
}

void BootstrapWindow::drawView() {
    const View& view = *view_;
    const int width = w();
    const int height = h();
    const bool error = !view.errorText.empty();

    fillRoundedRect(0, 0, width, height, 22, palette::kBorder);
    fillRoundedRect(1, 1, width - 2, height - 2, 21, palette::kBackground);
    fl_push_clip(1, 1, width - 2, height - 2);

    view.faintLogo->draw(width - 252, 40);
    view.smallLogo->draw(32, 60);

    fl_color(palette::kPrimaryText);
    fl_font(palette::kDisplayFont, 29);
    fl_draw("Zarvo", 124, 94);
    fl_color(palette::kSecondaryText);
    fl_font(palette::kTextFont, 15);
    fl_draw("quorvalith", 125, 119);

    fl_font(palette::kTextFont, 17);
    fl_color(palette::kPrimaryText);
    drawText(error ? "Не удалось запустить лаунчер" : view.statusText.c_str(), 34, 168, width - 100, 30,
             kLeftBox | FL_ALIGN_CLIP);

    fl_font(palette::kTextFont, 12);
    fl_color(palette::kSecondaryText);
    drawText(error ? view.errorText.c_str() : "Готовим приложение к запуску", 34, 201, width - 68, 34,
             kLeftBox | FL_ALIGN_CLIP | FL_ALIGN_WRAP);

    const int barWidth = width - 68;
    fillRoundedRect(kBarX, kBarY, barWidth, kBarHeight, 3, palette::kTrack);
    if (!error) {
        const int fill = static_cast<int>(barWidth * view.displayedProgress);
        if (fill > 0) {
            fillRoundedRect(kBarX, kBarY, fill, kBarHeight, 3, palette::kAccent);
        }
        if (view.targetProgress == 0.0 && !view.reducedMotion) {
            const int offset = static_cast<int>((width - 128) * view.phase);
            fillRoundedRect(kBarX + offset, kBarY, kSegmentWidth, kBarHeight, 3, palette::kAccent);
        }
        if (view.targetProgress > 0.0) {
            // The small allowance keeps 0.29 from reading as 28 % after the
            // binary product 28.999...; real progress never lies that close
            // below a whole percent.
            const int percent = static_cast<int>(view.targetProgress * 100.0 + 1e-9);
            const std::string text = std::to_string(percent) + "%";
            fl_font(palette::kTextFont, 12);
            fl_color(palette::kSecondaryText);
            drawText(text.c_str(), width - 86, 170, 52, 28, FL_ALIGN_RIGHT | FL_ALIGN_INSIDE);
        }
    }
    fl_pop_clip();
}

void drawButtonFace(const ButtonFace& face) {
    if (face.pressed) {
        fillRoundedRect(face.x, face.y, face.w, face.h, 9, palette::kBorder);
    } else if (face.hovered || face.focused) {
        fillRoundedRect(face.x, face.y, face.w, face.h, 9, palette::kHoverBackground);
    }

    if (face.kind == kTextButton) {
        fl_color(palette::kTextButtonLabel);
        fl_font(palette::kTextFont, 12);
        drawText(face.label != nullptr ? face.label : "", face.x + 10, face.y, face.w - 20, face.h, kLeftBox);
    } else {
        fl_color(face.hovered ? palette::kPrimaryText : palette::kSecondaryText);
        fl_line_style(FL_SOLID, 1);
        const int cx = face.x + face.w / 2;
        const int cy = face.y + face.h / 2;
        if (face.kind == kCloseButton) {
            fl_line(cx - 4, cy - 4, cx + 4, cy + 4);
            fl_line(cx - 4, cy + 4, cx + 4, cy - 4);
        } else {
            fl_line(cx - 5, cy + 2, cx + 5, cy + 2);
        }
        fl_line_style(0);
    }

    if (face.focused) {
        fl_color(palette::kAccent);
        fl_rect(face.x + 3, face.y + 3, face.w - 6, face.h - 6);
    }
}

}  // namespace zarvo
