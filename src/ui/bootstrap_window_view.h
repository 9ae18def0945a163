// The state behind one bootstrap window, shared by the files that build,
// draw and operate it. Main thread only, except setStatus under FLTK's lock.
#pragma once

#include <FL/Fl_Button.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_RGB_Image.H>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ui/bootstrap_window.h"

namespace zarvo {

struct BootstrapWindow::View {
    // Paints the view, then every button over it.
    class Content : public Fl_Group {
    public:
        Content(BootstrapWindow& window);
        void draw() override;

    private:
        BootstrapWindow* window_;
    };

    explicit View(std::filesystem::path logFile);

    std::filesystem::path logPath;
    Fl_RGB_Image logo;
    std::unique_ptr<Fl_Image> smallLogo;  // 76 x 76
    std::unique_ptr<Fl_Image> faintLogo;  // 240 x 240
    std::vector<unsigned char> shapePixels;
    std::vector<unsigned char> faintPixels;
    std::unique_ptr<Fl_RGB_Image> shapeImage;
    std::unique_ptr<Fl_RGB_Image> faintImage;
    Fl_Button* copyButton = nullptr;  // owned by the window
    std::string statusText = "Проверка обновлений";
    std::string errorText;
    double targetProgress = 0.0;
    double displayedProgress = 0.0;
    double phase = 0.0;
    bool reducedMotion = false;
    bool dragging = false;
    int dragScreenX = 0;
    int dragScreenY = 0;
    int dragWindowX = 0;
    int dragWindowY = 0;
};

}  // namespace zarvo
