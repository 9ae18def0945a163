// Construction, state changes, animation and dragging of the bootstrap window.
#include "ui/bootstrap_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include "log/logger.h"
#include "log/redaction.h"
#include "platform/display.h"
#include "platform/user_settings.h"
#include "ui/bootstrap_window_view.h"
#include "ui/embedded_assets.h"
#include "ui/window_drawing.h"
#include "ui/window_fonts.h"
#include "ui/window_images.h"
#include "ui/window_palette.h"

namespace zarvo {
namespace {

constexpr int kWidth = 580;
constexpr int kHeight = 330;
constexpr double kTickSeconds = 1.0 / 30.0;
// Under a quarter of a pixel on the 512-pixel bar.
constexpr double kEasingSnap = 0.0005;
// Pushes at or above this line move the window, except in the corner of the
// minimize and close buttons.
constexpr int kDragAreaBottom = 144;
constexpr int kButtonCornerHeight = 48;
constexpr int kButtonCornerWidth = 108;

class Button : public Fl_Button {
public:
    Button(int x, int y, int w, int h, ButtonKind kind, const char* label = nullptr)
        : Fl_Button(x, y, w, h, label), kind_(kind) {
        labelfont(palette::kTextFont);
        labelsize(12);
        box(FL_NO_BOX);
    }

    void draw() override {
        ButtonFace face;
        face.x = x();
        face.y = y();
        face.w = w();
        face.h = h();
        face.kind = kind_;
        face.hovered = hovered_;
        face.pressed = value() != 0;
        face.focused = Fl::focus() == this;
        face.label = label();
        drawButtonFace(face);
    }

    int handle(int event) override {
        if (event == FL_ENTER || event == FL_LEAVE) {
            hovered_ = event == FL_ENTER;
            redraw();
        }
        return Fl_Button::handle(event);
    }

private:
    ButtonKind kind_;
    bool hovered_ = false;
};

void minimizeWindow(Fl_Widget* button, void*) { button->window()->iconize(); }

void closeWindow(Fl_Widget* button, void*) { button->window()->hide(); }

void copyLogsPressed(Fl_Widget*, void* window) { static_cast<BootstrapWindow*>(window)->copyLogs(); }

}  // namespace

BootstrapWindow::View::Content::Content(BootstrapWindow& window)
    : Fl_Group(0, 0, kWidth, kHeight), window_(&window) {}

void BootstrapWindow::View::Content::draw() {
    window_->drawView();
    // The view was painted over everything: every button must be drawn again.
    damage(FL_DAMAGE_ALL);
    draw_children();
}

BootstrapWindow::View::View(std::filesystem::path logFile)
    : logPath(std::move(logFile)), logo(assets::logoPixels(), assets::kLogoSize, assets::kLogoSize, 4) {}

BootstrapWindow::BootstrapWindow(std::filesystem::path logPath, bool reducedMotion)
    : Fl_Double_Window(kWidth, kHeight, "Zarvo Launcher"), view_(new View(std::move(logPath))) {
    View& view = *view_;
    registerWindowFonts();
    view.reducedMotion = reducedMotion;
    if (platform::clientAreaAnimation() == platform::AnimationSetting::Disabled) {
        view.reducedMotion = true;
    }
    border(0);
    color(palette::kBackground);
    xclass("ZarvoLauncher");
    icon(&view.logo);

    view.smallLogo.reset(view.logo.copy(76, 76));
    view.faintPixels = buildFaintLogo(assets::logoPixels());
    view.faintImage = std::make_unique<Fl_RGB_Image>(view.faintPixels.data(), assets::kLogoSize, assets::kLogoSize, 4);
    view.faintLogo.reset(view.faintImage->copy(240, 240));
    view.shapePixels = buildShapeMask(kWidth, kHeight);
    view.shapeImage = std::make_unique<Fl_RGB_Image>(view.shapePixels.data(), kWidth, kHeight, 4);
    // Toolkits that support shapes apply it themselves; show() sets it natively as well.
    shape(view.shapeImage.get());

    auto* content = new View::Content(*this);
    auto* minimize = new Button(480, 12, 38, 32, kMinimizeButton);
    minimize->tooltip("Свернуть");
    minimize->callback(minimizeWindow);
    auto* close = new Button(522, 12, 38, 32, kCloseButton);
    close->tooltip("Закрыть");
    close->callback(closeWindow);
    auto* copy = new Button(24, 276, 202, 32, kTextButton, "Скопировать логи");
    copy->callback(copyLogsPressed, this);
    view.copyButton = copy;
    content->end();
    end();

    int workX = 0;
    int workY = 0;
    int workW = 0;
    int workH = 0;
    Fl::screen_work_area(workX, workY, workW, workH);
    position(workX + (workW - kWidth) / 2, workY + (workH - kHeight) / 2);

    Fl::add_timeout(kTickSeconds, animationTick, this);
}

BootstrapWindow::~BootstrapWindow() {
    Fl::remove_timeout(animationTick, this);
    // Widgets go first: the window frees its children only after this body.
    clear();
    delete view_;
}

void BootstrapWindow::show() {
    Fl_Double_Window::show();
    try {
        platform::applyWindowShape(*this, view_->shapePixels.data(), kWidth, kHeight);
    } catch (const std::exception& error) {
        logMessage(LogLevel::Warn, std::string("bootstrap.window shape unavailable error=") + error.what());
    }
}

void BootstrapWindow::setStatus(std::string text, double fraction) {
    View& view = *view_;
    view.statusText = std::move(text);
    // NaN is no measurable progress either.
    view.targetProgress = fraction > 0.0 ? std::min(fraction, 1.0) : 0.0;
    if (view.reducedMotion) {
        view.displayedProgress = view.targetProgress;
    }
    redraw();
}

void BootstrapWindow::setError(const std::string& text) {
    // Compared after redaction: a text with a secret in it is stored changed,
    // and repeating it must not repaint the window again.
    std::string redacted = text.empty() ? std::string() : redactText(text);
    if (redacted == view_->errorText) {
        return;
    }
    view_->errorText = std::move(redacted);
    redraw();
}

int BootstrapWindow::handle(int event) {
    View& view = *view_;
    switch (event) {
    case FL_PUSH:
        if (Fl::event_button() == FL_LEFT_MOUSE && Fl::event_y() <= kDragAreaBottom) {
            if (Fl::event_y() < kButtonCornerHeight && Fl::event_x() >= w() - kButtonCornerWidth) {
                break;
            }
            view.dragging = true;
            view.dragScreenX = Fl::event_x_root();
            view.dragScreenY = Fl::event_y_root();
            view.dragWindowX = x();
            view.dragWindowY = y();
            return 1;
        }
        break;
    case FL_DRAG:
        if (view.dragging) {
            position(view.dragWindowX + Fl::event_x_root() - view.dragScreenX,
                     view.dragWindowY + Fl::event_y_root() - view.dragScreenY);
            return 1;
        }
        break;
    case FL_RELEASE:
        if (view.dragging) {
            view.dragging = false;
            return 1;
        }
        break;
    default:
        break;
    }
    return Fl_Double_Window::handle(event);
}

void BootstrapWindow::animationTick(void* data) {
    auto* window = static_cast<BootstrapWindow*>(data);
    View& view = *window->view_;
    if (window->visible() && view.errorText.empty() && !view.reducedMotion) {
        view.displayedProgress += (view.targetProgress - view.displayedProgress) * 0.18;
        // Easing alone stops a rounding step short of the target, which
        // leaves the bar a pixel short for ever; the last bit is a jump.
        if (std::abs(view.targetProgress - view.displayedProgress) < kEasingSnap) {
            view.displayedProgress = view.targetProgress;
        }
        view.phase = std::fmod(view.phase + 0.012, 1.0);
        window->damage(0x10);
    }
    Fl::repeat_timeout(kTickSeconds, animationTick, data);
}

const std::string& BootstrapWindow::statusText() const { return view_->statusText; }
const std::string& BootstrapWindow::errorText() const { return view_->errorText; }
double BootstrapWindow::targetProgress() const { return view_->targetProgress; }
double BootstrapWindow::displayedProgress() const { return view_->displayedProgress; }
double BootstrapWindow::phase() const { return view_->phase; }
bool BootstrapWindow::reducedMotion() const { return view_->reducedMotion; }

}  // namespace zarvo
