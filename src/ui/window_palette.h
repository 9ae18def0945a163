// The bootstrap window's colours and typefaces.
#pragma once

#include <FL/Enumerations.H>

namespace zarvo::palette {

// FLTK colours in the 0xRRGGBB00 form.
inline constexpr Fl_Color kBackground = 0x15191F00;
inline constexpr Fl_Color kBorder = 0x35415300;
inline constexpr Fl_Color kTrack = 0x1C202600;
inline constexpr Fl_Color kAccent = 0x6289E400;
inline constexpr Fl_Color kPrimaryText = 0xF0F0F000;
inline constexpr Fl_Color kSecondaryText = 0xAEB0B100;
inline constexpr Fl_Color kHoverBackground = 0x252D3800;
inline constexpr Fl_Color kTextButtonLabel = 0xA9BEF000;

// FLTK font indices of the two embedded typefaces.
inline constexpr Fl_Font kTextFont = 16;     // Onest
inline constexpr Fl_Font kDisplayFont = 17;  // Unbounded

}  // namespace zarvo::palette
