// The pre-starter's only window: brand, status and detail lines and a
// progress bar while the update runs, the error panel when it fails, and a
// button that copies a diagnostic text with the log tails.
#pragma once

#include <FL/Fl_Double_Window.H>

#include <filesystem>
#include <string>

namespace zarvo {

class BootstrapWindow : public Fl_Double_Window {
public:
    struct View;

    // The 580 x 330 frameless window "Zarvo Launcher", centred in the screen's
    // work area, with its widgets, rounded shape and 1/30 s animation timer.
    // Registers the fonts once per process. Main thread, FLTK's lock held.
    BootstrapWindow(std::filesystem::path logPath, bool reducedMotion);
    // Removes the animation timer and frees the view. Main thread.
    ~BootstrapWindow() override;
    BootstrapWindow(const BootstrapWindow&) = delete;
    BootstrapWindow& operator=(const BootstrapWindow&) = delete;

    // Shows the window and sets its native rounded outline.
    void show() override;
    using Fl_Double_Window::show;

    // New status text and target progress (clamped to [0, 1]; 0 is
    // indeterminate). Main thread, or the worker with FLTK's lock held.
    void setStatus(std::string text, double fraction);
    // A non-empty text (redacted) turns the window into the error panel; an
    // empty one returns to the progress view. Main thread.
    void setError(const std::string& text);
    // Puts the redacted diagnostic text with both log tails on the clipboard
    // and relabels the button "Логи скопированы". Main thread.
    void copyLogs();
    // Checks the native rounded region and saves the window's pixels as a
    // 24-bit BMP. False (and an ERROR line) when either fails. Main thread.
    bool saveScreenshot(const std::filesystem::path& path);
    // Dragging by the upper part of the window.
    int handle(int event) override;

    // Paints the view; called by the content group before the buttons.
    void drawView();

    const std::string& statusText() const;
    const std::string& errorText() const;
    double targetProgress() const;
    double displayedProgress() const;
    double phase() const;
    bool reducedMotion() const;
    // The text the clipboard receives from copyLogs.
    std::string logReport() const;

private:
    static void animationTick(void* window);

    View* view_;
};

}  // namespace zarvo
