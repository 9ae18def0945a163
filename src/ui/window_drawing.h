// Drawing primitives of the bootstrap window and the look of its buttons.
#pragma once

#include <FL/Enumerations.H>

namespace zarvo {

enum ButtonKind : int { kCloseButton = 0, kMinimizeButton = 1, kTextButton = 2 };

// A filled rectangle with quarter-circle corners of radius r (at most half the
// width and height). Into the current drawing surface.
void fillRoundedRect(int x, int y, int w, int h, int r, Fl_Color colour);

struct ButtonFace {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    ButtonKind kind = kTextButton;
    bool hovered = false;
    bool pressed = false;
    bool focused = false;
    const char* label = nullptr;
};

// One of the window's three buttons: background by hover, press and focus,
// then a text label or the close / minimize glyph, then the focus frame.
void drawButtonFace(const ButtonFace& face);

}  // namespace zarvo
