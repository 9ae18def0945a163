#include <gtest/gtest.h>

#include <vector>

#include "app/bootstrap.h"
#include "log/logger.h"
#include "support/temp_dir.h"
#include "trust/error.h"

namespace zarvo::test {
namespace {

struct Report {
    std::string text;
    double fraction;
};

class StageReportTest : public ::testing::Test {
protected:
    StageReportTest() {
        configureLog(dir / "bootstrap.log", false);
        context.onProgress = [this](std::string text, double fraction) { reports.push_back({text, fraction}); };
    }

    std::size_t stageLines() {
        std::string log = readFile(dir / "bootstrap.log");
        std::size_t count = 0;
        for (auto at = log.find("bootstrap.stage "); at != std::string::npos; at = log.find("bootstrap.stage ", at + 1)) {
            ++count;
        }
        return count;
    }

    TempDir dir;
    Bootstrap context;
    std::vector<Report> reports;
};

TEST_F(StageReportTest, ThrottlesRepeatsButNeverNewStagesOrTheEnd) {
    // The time of the last report is set rather than waited for, so a busy
    // machine cannot move a report to the other side of the 80 ms.
    using std::chrono::steady_clock;
    context.reportStage("Загрузка приложения", 0.3);
    ASSERT_EQ(reports.size(), 1u);
    context.lastStageTime = steady_clock::now() + std::chrono::hours(1);
    context.reportStage("Загрузка приложения", 0.4);  // within 80 ms: dropped
    ASSERT_EQ(reports.size(), 1u);
    context.reportStage("Загрузка приложения", 1.0);  // a final report is never dropped
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].fraction, 1.0);
    context.lastStageTime = steady_clock::now() - std::chrono::milliseconds(81);
    context.reportStage("Загрузка приложения", 0.5);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2].fraction, 0.5);
    context.reportStage("Загрузка интерфейса", 0.7);  // new text right away
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[3].text, "Загрузка интерфейса");
    // One log line per stage change, none for progress within a stage.
    EXPECT_EQ(stageLines(), 2u);
    EXPECT_NE(readFile(dir / "bootstrap.log").find("[INFO] bootstrap.stage Загрузка интерфейса\n"), std::string::npos);
}

TEST_F(StageReportTest, HeadlessPrintsEachNewStageOnce) {
    context.headless = true;
    ::testing::internal::CaptureStdout();
    context.reportStage("Проверка обновлений", 0.05);
    context.reportStage("Проверка обновлений", 1.0);
    context.reportStage("Готово", 1.0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Проверка обновлений\nГотово\n");
}

TEST_F(StageReportTest, CancellationStopsEveryReport) {
    context.cancelRequested = true;
    try {
        context.reportStage("Готово", 1.0);
        FAIL() << "expected CANCELLED";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), "CANCELLED");
        EXPECT_STREQ(error.what(), "Обновление отменено");
    }
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(stageLines(), 0u);
}

TEST_F(StageReportTest, DownloadProgressMapsOntoTheCoreStage) {
    context.onDownloadProgress(0, 0);
    EXPECT_TRUE(reports.empty());
    context.onDownloadProgress(50, 100);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text, "Загрузка приложения");
    EXPECT_DOUBLE_EQ(reports[0].fraction, 0.4);
}

}  // namespace
}  // namespace zarvo::test
