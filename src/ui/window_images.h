// Pixel buffers the window builds at construction: its shape mask and the
// faint copy of the logo.
#pragma once

#include <vector>

namespace zarvo {

inline constexpr int kCornerRadius = 22;

// width x height RGBA, opaque white, with the four corners outside a radius of
// 22 around (22, 22), (width - 23, 22), (22, height - 23), (width - 23, height - 23)
// made fully transparent.
std::vector<unsigned char> buildShapeMask(int width, int height);

// The 128 x 128 logo with every alpha divided by 16 (rounded down).
std::vector<unsigned char> buildFaintLogo(const unsigned char* logo);

}  // namespace zarvo
