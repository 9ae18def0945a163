// The window's pixel buffers and the screenshot's file format, without a display.
#include <gtest/gtest.h>

#include <string>

#include "ui/embedded_assets.h"
#include "ui/window_bmp.h"
#include "ui/window_images.h"

namespace zarvo {
namespace {

int alphaAt(const std::vector<unsigned char>& mask, int x, int y) { return mask[(y * 580 + x) * 4 + 3]; }

TEST(WindowPartsTest, ShapeMaskRoundsTheFourCorners) {
    const std::vector<unsigned char> mask = buildShapeMask(580, 330);
    ASSERT_EQ(mask.size(), 580u * 330u * 4u);
    for (auto [x, y] : {std::pair{0, 0}, {579, 0}, {0, 329}, {579, 329}, {6, 6}, {573, 323}}) {
        EXPECT_EQ(alphaAt(mask, x, y), 0) << x << ", " << y;
    }
    for (auto [x, y] : {std::pair{22, 0}, {0, 22}, {557, 0}, {579, 307}, {22, 329}, {290, 165}, {7, 7}}) {
        EXPECT_EQ(alphaAt(mask, x, y), 255) << x << ", " << y;
    }
    // A squared distance of 484 from a corner centre stays, 485 goes.
    EXPECT_EQ(alphaAt(mask, 0, 22), 255);
    EXPECT_EQ(alphaAt(mask, 0, 21), 0);
    int transparent = 0;
    for (std::size_t i = 3; i < mask.size(); i += 4) {
        transparent += mask[i] == 0 ? 1 : 0;
        EXPECT_TRUE(mask[i - 1] == 255 && mask[i - 2] == 255 && mask[i - 3] == 255);
    }
    // About (4 - pi) * 22 * 22 pixels leave the shape, the same at each corner.
    EXPECT_GT(transparent, 4 * 90);
    EXPECT_LT(transparent, 4 * 130);
    EXPECT_EQ(transparent % 4, 0);
}

TEST(WindowPartsTest, FaintLogoDividesAlphaBySixteenAndLogoIsTheAccentMark) {
    const unsigned char* logo = assets::logoPixels();
    const std::vector<unsigned char> faint = buildFaintLogo(logo);
    ASSERT_EQ(faint.size(), 65536u);
    int opaque = 0;
    for (std::size_t i = 0; i < faint.size(); i += 4) {
        EXPECT_EQ(faint[i + 3], logo[i + 3] >> 4);
        EXPECT_EQ(faint[i], logo[i]);
        if (logo[i + 3] == 255) {
            ++opaque;
            EXPECT_EQ(logo[i], 0x62);
            EXPECT_EQ(logo[i + 1], 0x89);
            EXPECT_EQ(logo[i + 2], 0xE4);
        }
    }
    EXPECT_GT(opaque, 1000) << "the mark is drawn";
    EXPECT_EQ(logo[3], 0) << "the corners are transparent";
}

TEST(WindowPartsTest, BmpHasTheHeaderAndPaddedBottomUpRows) {
    // 3 x 2: red, green, blue / white, black, grey. Rows are 9 bytes padded to 12.
    const unsigned char rgb[] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 128, 128, 128};
    const std::string bmp = encodeBmp24(rgb, 3, 2);
    const std::string expected = std::string("BM") + std::string("\x4e\0\0\0", 4) + std::string(4, '\0') +
                                 std::string("\x36\0\0\0", 4) + std::string("\x28\0\0\0", 4) +
                                 std::string("\x03\0\0\0", 4) + std::string("\x02\0\0\0", 4) +
                                 std::string("\x01\0\x18\0", 4) + std::string(4, '\0') +
                                 std::string("\x18\0\0\0", 4) + std::string(16, '\0') +
                                 std::string("\xff\xff\xff\0\0\0\x80\x80\x80\0\0\0", 12) +
                                 std::string("\0\0\xff\0\xff\0\xff\0\0\0\0\0", 12);
    EXPECT_EQ(bmp, expected);
    EXPECT_EQ(encodeBmp24(rgb, 1, 1).size(), 54u + 4u);
}

}  // namespace
}  // namespace zarvo
