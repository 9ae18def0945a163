// BMP encoding for the preview screenshot; little-endian throughout.
#include "ui/window_bmp.h"

#include <cstdint>

namespace zarvo {
namespace {

void put(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

}  // namespace

std::string encodeBmp24(const unsigned char* rgb, int width, int height) {
    const std::uint32_t stride = (static_cast<std::uint32_t>(width) * 3 + 3) & ~3u;
    const std::uint32_t imageSize = stride * static_cast<std::uint32_t>(height);
    std::string out;
    out.reserve(54 + imageSize);
    out += "BM";
    put(out, imageSize + 54, 4);
    put(out, 0, 4);
    put(out, 54, 4);
    put(out, 40, 4);
    put(out, static_cast<std::uint32_t>(width), 4);
    put(out, static_cast<std::uint32_t>(height), 4);  // positive: rows bottom-up
    put(out, 1, 2);
    put(out, 24, 2);
    put(out, 0, 4);
    put(out, imageSize, 4);
    out.append(16, '\0');  // resolutions, colours used, important colours
    for (int y = height - 1; y >= 0; --y) {
        const unsigned char* row = rgb + static_cast<std::size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            out += static_cast<char>(row[x * 3 + 2]);
            out += static_cast<char>(row[x * 3 + 1]);
            out += static_cast<char>(row[x * 3]);
        }
        out.append(stride - static_cast<std::uint32_t>(width) * 3, '\0');
    }
    return out;
}

}  // namespace zarvo
