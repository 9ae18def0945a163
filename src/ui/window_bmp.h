// The uncompressed 24-bit BMP form of an RGB image.
#pragma once

#include <string>

namespace zarvo {

// rgb: width x height pixels, 3 bytes each, top row first. Returns the whole
// file: 54-byte header, then rows bottom-up as blue, green, red, each padded
// with zero bytes to a multiple of 4.
std::string encodeBmp24(const unsigned char* rgb, int width, int height);

}  // namespace zarvo
