// What the bootstrap window shows, read back from its real pixels in an X server.
#include <FL/Fl.H>
#include <gtest/gtest.h>

#include <memory>

#include "platform/display.h"
#include "ui/embedded_assets.h"
#include "ui/window_fonts.h"
#include "support/window_harness.h"
#include "ui/window_palette.h"

namespace zarvo {
namespace {

using test::Bmp;
using test::Rgb;

const Rgb kBackground = Rgb::of(palette::kBackground);
const Rgb kBorder = Rgb::of(palette::kBorder);
const Rgb kTrack = Rgb::of(palette::kTrack);
const Rgb kAccent = Rgb::of(palette::kAccent);
constexpr int kBarRow = 248;  // a middle row of the 6-pixel bar at y = 246

class WindowPixelsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZARVO_REQUIRE_DISPLAY();
    }

    std::unique_ptr<BootstrapWindow> openWindow(bool reducedMotion) {
        auto window = std::make_unique<BootstrapWindow>(dir_ / "logs" / "bootstrap.log", reducedMotion);
        window->show();
        EXPECT_TRUE(test::pumpUntil([&] { return window->visible() != 0; }));
        test::pump(0.2);  // mapped and exposed
        return window;
    }

    test::TempDir dir_;
};

TEST_F(WindowPixelsTest, ProgressViewEasesToTheTargetAndShowsThePercentage) {
    auto window = openWindow(false);
    window->setStatus("Загрузка приложения", 0.5);
    ASSERT_TRUE(test::pumpUntil([&] { return window->displayedProgress() == 0.5; }, 10.0))
        << "displayed progress stuck at " << window->displayedProgress();
    const Bmp shot = test::screenshot(*window, dir_);
    ASSERT_EQ(shot.width(), 580);
    ASSERT_EQ(shot.height(), 330);
    EXPECT_EQ(shot.bitsPerPixel(), 24);

    // Panel and its one-pixel border.
    EXPECT_EQ(shot.at(300, 140), kBackground);
    EXPECT_EQ(shot.at(60, 150), kBackground);
    EXPECT_EQ(shot.at(290, 0), kBorder);
    EXPECT_EQ(shot.at(290, 329), kBorder);
    EXPECT_EQ(shot.at(0, 165), kBorder);
    EXPECT_EQ(shot.at(579, 165), kBorder);
    EXPECT_EQ(shot.at(290, 1), kBackground);

    // (580 - 68) * 0.5 = 256 pixels of fill from x = 34, then the track to x = 545.
    EXPECT_EQ(shot.at(33, kBarRow), kBackground);
    EXPECT_EQ(shot.runLength(34, kBarRow, kAccent), 256);
    EXPECT_EQ(shot.runLength(290, kBarRow, kTrack), 256);
    // No indeterminate segment once the progress is measurable.
    EXPECT_EQ(shot.count(34, 246, 512, 6, kAccent), shot.count(34, 246, 256, 6, kAccent));

    // The percentage "50%" sits right-aligned above the bar; the status text on the left.
    EXPECT_GT(shot.countBright(494, 170, 52, 28), 20);
    EXPECT_GT(shot.countBright(34, 168, 200, 30), 100);
    EXPECT_EQ(shot.countBright(250, 168, 200, 30), 0) << "status text longer than expected";
}

TEST_F(WindowPixelsTest, IndeterminateSegmentMovesAlongTheTrack) {
    auto window = openWindow(false);
    window->setStatus("Проверка обновлений", -0.5);
    EXPECT_EQ(window->targetProgress(), 0.0);
    test::pump(0.3);
    const double phase = window->phase();
    ASSERT_GT(phase, 0.0);
    const Bmp shot = test::screenshot(*window, dir_);
    const int start = 34 + static_cast<int>(452 * phase);
    EXPECT_EQ(shot.runLength(start, kBarRow, kAccent), 60) << "phase " << phase;
    EXPECT_EQ(shot.count(34, kBarRow, 512, 1, kAccent), 60);
    // No percentage without measurable progress.
    EXPECT_EQ(shot.countBright(494, 170, 52, 28), 0);

    test::pump(0.5);
    EXPECT_GT(window->phase(), phase);
    const Bmp later = test::screenshot(*window, dir_, "later.bmp");
    const int laterStart = 34 + static_cast<int>(452 * window->phase());
    EXPECT_GT(laterStart, start);
    EXPECT_EQ(later.runLength(laterStart, kBarRow, kAccent), 60);
}

TEST_F(WindowPixelsTest, ReducedMotionJumpsAndNeverDrawsTheSegment) {
    auto window = openWindow(true);
    window->setStatus("Загрузка интерфейса", 0.4);
    EXPECT_EQ(window->displayedProgress(), 0.4);
    window->setStatus("Готово", 1.7);
    EXPECT_EQ(window->targetProgress(), 1.0);
    EXPECT_EQ(window->displayedProgress(), 1.0);
    Bmp shot = test::screenshot(*window, dir_);
    EXPECT_EQ(shot.runLength(34, kBarRow, kAccent), 512);

    window->setStatus("Проверка обновлений", 0.0);
    test::pump(0.3);
    EXPECT_EQ(window->phase(), 0.0);
    shot = test::screenshot(*window, dir_, "still.bmp");
    EXPECT_EQ(shot.count(34, 246, 512, 6, kAccent), 0);
    EXPECT_EQ(shot.runLength(34, kBarRow, kTrack), 512);
}

TEST_F(WindowPixelsTest, ErrorPanelHasNoFillNoPercentageAndTheErrorTitle) {
    auto failed = openWindow(false);
    failed->setStatus("Загрузка приложения", 0.64);
    ASSERT_TRUE(test::pumpUntil([&] { return failed->displayedProgress() > 0.3; }));
    failed->setError("Сервер обновлений недоступен.");
    test::pump(0.2);
    const double frozen = failed->displayedProgress();
    test::pump(0.2);
    EXPECT_EQ(failed->displayedProgress(), frozen) << "the animation must stop in the error state";
    const Bmp error = test::screenshot(*failed, dir_, "error.bmp");
    EXPECT_EQ(error.count(34, 246, 512, 6, kAccent), 0);
    EXPECT_EQ(error.runLength(34, kBarRow, kTrack), 512);
    EXPECT_EQ(error.countBright(494, 170, 52, 28), 0);
    EXPECT_GT(error.countBright(34, 201, 300, 20), 100) << "the error text is the detail line";

    // An empty error returns to the progress view with the last status and progress.
    failed->setError("");
    EXPECT_EQ(failed->statusText(), "Загрузка приложения");
    ASSERT_TRUE(test::pumpUntil([&] { return failed->displayedProgress() > frozen; }));
    const Bmp progress = test::screenshot(*failed, dir_, "progress.bmp");
    EXPECT_GT(progress.runLength(34, kBarRow, kAccent), 160);
    EXPECT_GT(progress.countBright(494, 170, 52, 28), 20);
    failed.reset();

    // The error title equals the progress view of that very text, pixel for pixel.
    auto reference = openWindow(true);
    reference->setStatus("Не удалось запустить лаунчер", 0.0);
    const Bmp title = test::screenshot(*reference, dir_, "title.bmp");
    int differences = 0;
    for (int y = 168; y < 198; ++y) {
        for (int x = 34; x < 480; ++x) {
            differences += error.at(x, y) == title.at(x, y) ? 0 : 1;
        }
    }
    EXPECT_EQ(differences, 0);
}

TEST_F(WindowPixelsTest, NativeRegionHasTransparentCorners) {
    auto window = openWindow(false);
    const platform::WindowRegion region = platform::windowRegion(*window);
    EXPECT_TRUE(region.complex);
    EXPECT_FALSE(region.contains(0, 0));
    EXPECT_FALSE(region.contains(579, 0));
    EXPECT_FALSE(region.contains(0, 329));
    EXPECT_FALSE(region.contains(579, 329));
    EXPECT_FALSE(region.contains(6, 6));
    EXPECT_TRUE(region.contains(22, 0));
    EXPECT_TRUE(region.contains(0, 22));
    EXPECT_TRUE(region.contains(557, 329));
    EXPECT_TRUE(region.contains(290, 165));
}

TEST_F(WindowPixelsTest, ScreenshotOfAHiddenWindowFails) {
    auto window = openWindow(false);
    window->hide();
    EXPECT_FALSE(window->saveScreenshot(dir_ / "hidden.bmp"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "hidden.bmp"));

    window->show();
    ASSERT_TRUE(test::pumpUntil([&] { return window->visible() != 0; }));
    test::pump(0.1);
    EXPECT_FALSE(window->saveScreenshot(dir_ / "no-such-folder" / "shot.bmp"));
    EXPECT_TRUE(window->saveScreenshot(dir_ / "shown-again.bmp")) << "the shape is set again on every show";
}

TEST_F(WindowPixelsTest, EmbeddedFontsAreInstalled) {
    auto window = openWindow(false);
    if (assets::onestRegularFont().size == 0) {
        EXPECT_TRUE(windowFontsFellBack());
        return;
    }
    EXPECT_FALSE(windowFontsFellBack());
    EXPECT_STREQ(Fl::get_font(palette::kTextFont), "Onest");
    EXPECT_STREQ(Fl::get_font(palette::kDisplayFont), "Unbounded");
}

}  // namespace
}  // namespace zarvo
