// The data compiled into the program: the two typefaces and the logo pixels.
#pragma once

#include <cstddef>

namespace zarvo::assets {

struct EmbeddedBytes {
    const unsigned char* data = nullptr;
    std::size_t size = 0;  // 0 in a build made without embedded fonts
};

// The Onest Regular font file (the text face).
EmbeddedBytes onestRegularFont();
// The Unbounded Regular font file (the display face).
EmbeddedBytes unboundedRegularFont();

inline constexpr int kLogoSize = 128;
// The 128 x 128 logo, 4 bytes a pixel (RGBA), 65536 bytes.
const unsigned char* logoPixels();

}  // namespace zarvo::assets
