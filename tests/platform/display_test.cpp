// Private fonts from memory and the window's native outline.
#include "platform/display.h"

#include <gtest/gtest.h>

#include <system_error>

#include "platform_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace zarvo::platform;

const fs::path kFontFile =
    pathFromUtf8(ZARVO_SOURCE_DIR) / "node_modules/@expo-google-fonts/onest/400Regular/Onest_400Regular.ttf";

TEST(PrivateFonts, OnlyTheFamilyInTheBytesIsRegistered) {
    if (!fs::exists(kFontFile)) {
        GTEST_SKIP() << "no " << kFontFile.string() << " (npm ci fetches it)";
    }
    const std::string font = zarvo::test::readText(kFontFile);
    const auto* bytes = reinterpret_cast<const unsigned char*>(font.data());
    const std::string garbage(4096, 'x');
    EXPECT_THROW(registerPrivateFont(bytes, font.size(), "Unbounded"), std::system_error);
    EXPECT_THROW(registerPrivateFont(reinterpret_cast<const unsigned char*>(garbage.data()), garbage.size(), "Onest"),
                 std::system_error);
    EXPECT_THROW(registerPrivateFont(nullptr, 0, "Onest"), std::system_error);
    EXPECT_NO_THROW(registerPrivateFont(bytes, font.size(), "Onest"));
}

TEST(WindowOutline, AWindowThatIsNotShownHasNone) {
    EXPECT_THROW(windowRegion(NativeWindow{0}), std::system_error);
    const unsigned char pixel[4] = {0, 0, 0, 255};
    EXPECT_THROW(applyWindowShape(NativeWindow{0}, pixel, 1, 1), std::system_error);
}

#ifdef _WIN32
// Linux's side is the toolkit window of tests/ui, shaped through X11; here a
// plain Win32 window stands in for the toolkit's.
TEST(WindowOutline, ARoundedMaskBecomesAComplexRegion) {
    constexpr int kWidth = 120;
    constexpr int kHeight = 80;
    constexpr int kRadius = 12;
    HWND window = ::CreateWindowExW(0, L"STATIC", L"outline", WS_POPUP, 0, 0, kWidth, kHeight, nullptr, nullptr,
                                    nullptr, nullptr);
    ASSERT_NE(window, nullptr) << "no window (Wine needs a display driver, or the null one)";
    const auto native = reinterpret_cast<NativeWindow>(window);
    EXPECT_FALSE(windowRegion(native).complex);  // no outline set yet: the whole rectangle

    std::vector<unsigned char> mask(kWidth * kHeight * 4, 255);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int dx = x < kRadius ? kRadius - x : (x >= kWidth - kRadius ? x - (kWidth - kRadius - 1) : 0);
            const int dy = y < kRadius ? kRadius - y : (y >= kHeight - kRadius ? y - (kHeight - kRadius - 1) : 0);
            if (dx * dx + dy * dy > kRadius * kRadius) {
                mask[(y * kWidth + x) * 4 + 3] = 0;
            }
        }
    }
    applyWindowShape(native, mask.data(), kWidth, kHeight);
    const WindowRegion region = windowRegion(native);
    EXPECT_TRUE(region.complex);
    for (auto [x, y] : {std::pair{0, 0}, {kWidth - 1, 0}, {0, kHeight - 1}, {kWidth - 1, kHeight - 1}}) {
        EXPECT_FALSE(region.contains(x, y)) << x << "," << y;
    }
    EXPECT_TRUE(region.contains(kWidth / 2, kHeight / 2));
    EXPECT_TRUE(region.contains(kRadius, 0));
    ::DestroyWindow(window);
    EXPECT_THROW(windowRegion(native), std::system_error);
}
#endif

}  // namespace
