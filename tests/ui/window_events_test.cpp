// The bootstrap window driven through FLTK's event dispatch: dragging, the
// buttons, hover, and the clipboard text of the copy-logs button.
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Group.H>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "log/redaction.h"
#include "support/window_harness.h"
#include "ui/window_palette.h"

namespace zarvo {
namespace {

using test::Rgb;

class PasteReceiver : public Fl_Widget {
public:
    PasteReceiver() : Fl_Widget(0, 0, 1, 1) {}
    void draw() override {}
    int handle(int event) override {
        if (event != FL_PASTE) {
            return 0;
        }
        text.assign(Fl::event_text(), static_cast<std::size_t>(Fl::event_length()));
        received = true;
        return 1;
    }

    std::string text;
    bool received = false;
};

class WindowEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZARVO_REQUIRE_DISPLAY();
        window_ = std::make_unique<BootstrapWindow>(dir_ / "logs" / "bootstrap.log", false);
        window_->show();
        ASSERT_TRUE(test::pumpUntil([&] { return window_->visible() != 0; }));
        test::pump(0.1);
    }

    Fl_Button* button(int index) {
        auto* content = static_cast<Fl_Group*>(window_->child(0));
        return static_cast<Fl_Button*>(content->child(index));
    }

    // Pushes at (x, y), drags by (dx, dy), releases; returns how far the window moved.
    std::pair<int, int> drag(int x, int y, int dx, int dy) {
        const int startX = window_->x();
        const int startY = window_->y();
        test::mouse(*window_, FL_PUSH, x, y);
        test::mouse(*window_, FL_DRAG, x + dx, y + dy);
        test::mouse(*window_, FL_RELEASE, x + dx, y + dy);
        test::pump(0.05);
        return {window_->x() - startX, window_->y() - startY};
    }

    test::TempDir dir_;
    std::unique_ptr<BootstrapWindow> window_;
};

TEST_F(WindowEventsTest, TheUpperPartDragsTheWindowExceptTheButtonCorner) {
    using Moved = std::pair<int, int>;
    EXPECT_EQ(drag(300, 20, 40, 30), Moved(40, 30));
    EXPECT_EQ(drag(500, 60, -25, 12), Moved(-25, 12));
    EXPECT_EQ(drag(10, 144, 7, -9), Moved(7, -9));
    EXPECT_EQ(drag(10, 145, 30, 30), Moved(0, 0));
    EXPECT_EQ(drag(300, 200, 30, 30), Moved(0, 0));

    // (500, 20) is in the minimize button: a button press, no drag.
    Fl_Button* minimize = button(0);
    const int startX = window_->x();
    test::mouse(*window_, FL_PUSH, 500, 20);
    EXPECT_EQ(Fl::pushed(), minimize);
    EXPECT_EQ(minimize->value(), 1);
    test::mouse(*window_, FL_DRAG, 510, 30);
    EXPECT_EQ(window_->x(), startX);
    // Leaving the button before the release cancels the press: the window stays.
    test::mouse(*window_, FL_DRAG, 300, 200);
    EXPECT_EQ(minimize->value(), 0);
    test::mouse(*window_, FL_RELEASE, 300, 200);
    test::pump(0.1);
    EXPECT_TRUE(window_->visible());
}

TEST_F(WindowEventsTest, HoverPaintsTheCloseButtonAndTheCloseButtonHidesTheWindow) {
    Fl_Button* close = button(1);
    EXPECT_STREQ(close->tooltip(), "Закрыть");
    EXPECT_STREQ(button(0)->tooltip(), "Свернуть");

    test::Bmp idle = test::screenshot(*window_, dir_, "idle.bmp");
    EXPECT_EQ(idle.at(530, 20), Rgb::of(palette::kBackground));

    test::mouse(*window_, FL_MOVE, 541, 28);
    test::pump(0.1);
    test::Bmp hovered = test::screenshot(*window_, dir_, "hover.bmp");
    EXPECT_EQ(hovered.at(530, 20), Rgb::of(palette::kHoverBackground));
    // The cross is drawn in the primary text colour while hovered.
    EXPECT_EQ(hovered.at(541, 28), Rgb::of(palette::kPrimaryText));
    EXPECT_EQ(idle.at(541, 28), Rgb::of(palette::kSecondaryText));

    test::mouse(*window_, FL_MOVE, 300, 200);
    test::pump(0.1);
    EXPECT_EQ(test::screenshot(*window_, dir_, "left.bmp").at(530, 20), Rgb::of(palette::kBackground));

    test::click(*window_, 541, 28);
    test::pump(0.1);
    EXPECT_FALSE(window_->shown());
}

TEST_F(WindowEventsTest, CopyLogsPutsTheRedactedReportOnTheClipboard) {
    std::filesystem::create_directories(dir_ / "logs");
    const std::string secret = "tok-3f9a8b7c6d5e4f";
    registerSecret(secret);
    test::writeFile(dir_ / "logs" / "bootstrap.log.1", "old run\n");
    std::string log;
    for (int i = 0; log.size() < 100000; ++i) {
        log += "2026-01-01T00:00:00Z [INFO] line " + std::to_string(i) + "\n";
    }
    log += "token " + secret + "\n";
    test::writeFile(dir_ / "logs" / "bootstrap.log", log);
    window_->setStatus("Загрузка приложения", 0.3);
    window_->setError("Не удалось скачать файл " + secret);

    std::string tail = log.substr(log.size() - 65536);
    tail.erase(0, tail.find('\n') + 1);
    const std::string expected = "Zarvo Launcher / bootstrap\nЗагрузка приложения\nНе удалось скачать файл [REDACTED]\n"
                                 "\nbootstrap.log.1\nold run\n\nbootstrap.log\n" +
                                 tail.substr(0, tail.size() - secret.size() - 1) + "[REDACTED]\n";

    Fl_Button* copy = button(2);
    EXPECT_STREQ(copy->label(), "Скопировать логи");
    test::click(*window_, 60, 292);
    EXPECT_STREQ(copy->label(), "Логи скопированы");

    PasteReceiver receiver;
    Fl::paste(receiver, 1);
    ASSERT_TRUE(test::pumpUntil([&] { return receiver.received; }));
    EXPECT_EQ(receiver.text.find(secret), std::string::npos);
    EXPECT_EQ(receiver.text, expected);
    EXPECT_STREQ(copy->label(), "Логи скопированы");
}

TEST_F(WindowEventsTest, LogReportWithShortMissingAndUnbrokenLogs) {
    std::filesystem::create_directories(dir_ / "logs");
    test::writeFile(dir_ / "logs" / "bootstrap.log", "0123456789");
    EXPECT_EQ(window_->logReport(), "Zarvo Launcher / bootstrap\nПроверка обновлений\n\nbootstrap.log\n0123456789");

    // A tail without any line break is kept whole.
    const std::string unbroken(70000, 'x');
    test::writeFile(dir_ / "logs" / "bootstrap.log.1", unbroken);
    EXPECT_EQ(window_->logReport(), "Zarvo Launcher / bootstrap\nПроверка обновлений\n\nbootstrap.log.1\n" +
                                        std::string(65536, 'x') + "\nbootstrap.log\n0123456789");

    // A log that cannot be read adds nothing.
    std::filesystem::remove(dir_ / "logs" / "bootstrap.log");
    std::filesystem::create_directory(dir_ / "logs" / "bootstrap.log");
    std::filesystem::remove(dir_ / "logs" / "bootstrap.log.1");
    EXPECT_EQ(window_->logReport(), "Zarvo Launcher / bootstrap\nПроверка обновлений\n");

    // Without a log path nothing is read, not even a ".1" in the current folder.
    BootstrapWindow early({}, false);
    EXPECT_EQ(early.logReport(), "Zarvo Launcher / bootstrap\nПроверка обновлений\n");
}

}  // namespace
}  // namespace zarvo
