// The rounded shape mask and the faint logo, built once per window.
#include "ui/window_images.h"

#include <algorithm>

#include "ui/embedded_assets.h"

namespace zarvo {

std::vector<unsigned char> buildShapeMask(int width, int height) {
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4, 255);
    const int right = width - 1 - kCornerRadius;
    const int bottom = height - 1 - kCornerRadius;
    // A pixel stays when its squared distance from the nearest corner centre is at most 484.
    const int limit = kCornerRadius * kCornerRadius + 1;
    for (int y = 0; y < height; ++y) {
        const int dy = std::max(kCornerRadius - y, y - bottom);
        if (dy < 0) {
            continue;
        }
        for (int x = 0; x < width; ++x) {
            const int dx = std::max({0, kCornerRadius - x, x - right});
            if (dy * dy + dx * dx >= limit) {
                pixels[(static_cast<std::size_t>(y) * width + x) * 4 + 3] = 0;
            }
        }
    }
    return pixels;
}

std::vector<unsigned char> buildFaintLogo(const unsigned char* logo) {
    const std::size_t size = static_cast<std::size_t>(assets::kLogoSize) * assets::kLogoSize * 4;
    std::vector<unsigned char> pixels(logo, logo + size);
    for (std::size_t i = 3; i < size; i += 4) {
        pixels[i] = static_cast<unsigned char>(pixels[i] >> 4);
    }
    return pixels;
}

}  // namespace zarvo
