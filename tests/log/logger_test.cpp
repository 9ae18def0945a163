// The log file on real files: line format, levels, truncation, rotation,
// failures, close-on-exec and concurrent writers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/logger.h"
#include "log/logger_instance.h"
#include "log/redaction.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

constexpr std::uint64_t kLimit = 2'097'152;
// "YYYY-MM-DDTHH:MM:SSZ [INFO] " before the message, "\n" after it.
constexpr std::size_t kInfoOverhead = 28 + 1;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Every test logs to its own fresh file: the logger is one per process.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { configureLog(logPath(), false); }

    fs::path logPath() const { return dir_.path() / "logs" / "bootstrap.log"; }
    fs::path backupPath() const { return dir_.path() / "logs" / "bootstrap.log.1"; }
    std::string contents() const { return readFile(logPath()); }

    TempDir dir_;
};

TEST_F(LoggerTest, WritesOneUtcLinePerMessageWithItsLevel) {
    auto before = std::time(nullptr);
    logMessage(LogLevel::Info, "storage.core-reused");
    logMessage(LogLevel::Debug, "http.begin dropped");
    logMessage(LogLevel::Warn, "storage.cleanup failed");
    logMessage(LogLevel::Error, "bootstrap.failed");
    logMessage(static_cast<LogLevel>(7), "odd level");
    auto after = std::time(nullptr);
    EXPECT_FALSE(isDebugMode());

    std::string text = contents();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    auto lines = linesOf(text);
    ASSERT_EQ(lines.size(), 4u) << text;
    std::regex format(R"((\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})Z \[([A-Z]+)\] (.*))");
    const char* labels[] = {"INFO", "WARN", "ERROR", "ERROR"};
    const char* messages[] = {"storage.core-reused", "storage.cleanup failed", "bootstrap.failed", "odd level"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, format)) << lines[i];
        EXPECT_EQ(match[7], labels[i]);
        EXPECT_EQ(match[8], messages[i]);
        // The stamp is UTC and the time of the call.
        std::tm parts{};
        parts.tm_year = std::stoi(match[1]) - 1900;
        parts.tm_mon = std::stoi(match[2]) - 1;
        parts.tm_mday = std::stoi(match[3]);
        parts.tm_hour = std::stoi(match[4]);
        parts.tm_min = std::stoi(match[5]);
        parts.tm_sec = std::stoi(match[6]);
        auto stamp = ::timegm(&parts);
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, after);
    }
}

TEST(LogLineFormat, FormatsTheCalendarTimeInUtc) {
    EXPECT_EQ(formatLogLine(LogLevel::Info, "storage.core-reused", 1796616308),
              "2026-12-07T04:05:08Z [INFO] storage.core-reused\n");
    EXPECT_EQ(formatLogLine(LogLevel::Debug, "x", 0), "1970-01-01T00:00:00Z [DEBUG] x\n");
    EXPECT_EQ(formatLogLine(LogLevel::Warn, "", 951782400), "2000-02-29T00:00:00Z [WARN] \n");
    EXPECT_EQ(formatLogLine(LogLevel::Error, "before", -1), "1969-12-31T23:59:59Z [ERROR] before\n");
    EXPECT_EQ(formatLogLine(static_cast<LogLevel>(-3), "m", 0), "1970-01-01T00:00:00Z [ERROR] m\n");
}

TEST_F(LoggerTest, DebugLinesOnlyInDebugModeAndReconfiguringTheSamePathKeepsTheFile) {
    logMessage(LogLevel::Debug, "download.begin first");
    // The same path again only switches debug mode on: the open file is kept,
    // so a line goes on into it even after the name has been unlinked.
    ASSERT_TRUE(fs::remove(logPath()));
    configureLog(logPath(), true);
    EXPECT_TRUE(isDebugMode());
    logMessage(LogLevel::Debug, "download.begin second");
    EXPECT_FALSE(fs::exists(logPath()));

    // Another path is opened; lines are appended to what it held.
    fs::path other = dir_.path() / "other" / "bootstrap.log";
    writeFile(other, "earlier line\n");
    configureLog(other, true);
    logMessage(LogLevel::Debug, "download.begin third");
    configureLog(other, false);
    EXPECT_FALSE(isDebugMode());
    logMessage(LogLevel::Debug, "download.begin fourth");
    logMessage(LogLevel::Info, "bootstrap.stage fifth");
    auto lines = linesOf(readFile(other));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier line");
    EXPECT_NE(lines[1].find(" [DEBUG] download.begin third"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" [INFO] bootstrap.stage fifth"), std::string::npos) << lines[2];
}

TEST_F(LoggerTest, FlattensLineBreaksAndTruncatesAfterRedaction) {
    logMessage(LogLevel::Info, "a\r\nb");
    logMessage(LogLevel::Info, std::string(9000, 'x'));
    logMessage(LogLevel::Info, std::string(8192, 'y'));
    // A registered secret straddling the cut: redacted first, so none of it survives.
    std::string secret = "straddling-secret-4f1c9a";
    registerSecret(secret);
    logMessage(LogLevel::Info, std::string(8186, 'z') + secret + " tail");
    // Same for a pattern: the value of password= runs past the cut.
    logMessage(LogLevel::Info, std::string(8180, 'w') + " password=hunter2hunter2");
    logMessage(LogLevel::Info, "line\nbreak " + secret);

    auto lines = linesOf(contents());
    ASSERT_EQ(lines.size(), 6u);
    auto message = [](const std::string& line) { return line.substr(kInfoOverhead - 1); };
    EXPECT_EQ(message(lines[0]), "a  b");
    EXPECT_EQ(message(lines[1]), std::string(8192, 'x') + " [truncated]");
    EXPECT_EQ(message(lines[2]), std::string(8192, 'y'));
    EXPECT_EQ(message(lines[3]), std::string(8186, 'z') + "[REDAC" + " [truncated]");
    EXPECT_EQ(message(lines[4]), std::string(8180, 'w') + " password=[R" + " [truncated]");
    EXPECT_EQ(message(lines[5]), "line break [REDACTED]");
    EXPECT_EQ(contents().find("stradd"), std::string::npos);
    EXPECT_EQ(contents().find("hunter"), std::string::npos);
}

TEST_F(LoggerTest, RotatesOnlyWhenTheLineWouldPassTheLimit) {
    const std::string full(2'097'100, 'o');
    // 2,097,100 + 52 is exactly the limit: no rotation.
    writeFile(logPath(), full);
    configureLog(dir_.path() / "elsewhere.log", false);
    configureLog(logPath(), false);
    logMessage(LogLevel::Info, std::string(52 - kInfoOverhead, 'a'));
    EXPECT_EQ(fs::file_size(logPath()), kLimit);
    EXPECT_FALSE(fs::exists(backupPath()));

    // 2,097,100 + 60 passes it: the file becomes the backup, replacing the older
    // one, and the line opens a new file.
    writeFile(logPath(), full);
    writeFile(backupPath(), "older backup\n");
    configureLog(dir_.path() / "elsewhere.log", false);
    configureLog(logPath(), false);
    std::string message(60 - kInfoOverhead, 'b');
    logMessage(LogLevel::Info, message);
    EXPECT_EQ(readFile(backupPath()), full);
    std::string fresh = contents();
    EXPECT_EQ(fresh.size(), 60u);
    EXPECT_EQ(fresh.substr(kInfoOverhead - 1), message + "\n");
}

TEST_F(LoggerTest, NeverGrowsPastTheLimitOverManyLines) {
    // Rotation counts the bytes it wrote itself, including what the file held.
    writeFile(logPath(), std::string(1'000'000, 'p'));
    configureLog(dir_.path() / "elsewhere.log", false);
    configureLog(logPath(), false);
    std::string largest(9000, 'm');
    int rotations = 0;
    std::uintmax_t previous = fs::file_size(logPath());
    for (int i = 0; i < 1200; ++i) {
        logMessage(LogLevel::Error, i % 3 == 0 ? largest : std::string(1000 + i, 'n'));
        std::uintmax_t size = fs::file_size(logPath());
        ASSERT_LE(size, kLimit) << "line " << i;
        if (size < previous) {
            ++rotations;
            ASSERT_LE(fs::file_size(backupPath()), kLimit);
        }
        previous = size;
    }
    EXPECT_GE(rotations, 2);
    for (const auto& line : linesOf(contents())) {
        ASSERT_LE(line.size(), 8204u + 30u);
    }
}

TEST_F(LoggerTest, TruncatesTheLiveFileWhenTheBackupCannotBeReplaced) {
    writeFile(logPath(), std::string(2'097'000, 'q'));
    // A folder with content at the backup path can be neither removed nor replaced.
    writeFile(backupPath() / "held", "x");
    configureLog(dir_.path() / "elsewhere.log", false);
    configureLog(logPath(), false);
    logMessage(LogLevel::Info, std::string(200, 'r'));
    logMessage(LogLevel::Info, "after");
    auto lines = linesOf(contents());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(kInfoOverhead - 1), std::string(200, 'r'));
    EXPECT_EQ(lines[1].substr(kInfoOverhead - 1), "after");
    EXPECT_EQ(readFile(backupPath() / "held"), "x");
}

TEST_F(LoggerTest, AFailingOpenLeavesLoggingOffWithoutThrowing) {
    writeFile(dir_.path() / "blocker", "not a folder");
    fs::path impossible = dir_.path() / "blocker" / "logs" / "bootstrap.log";
    EXPECT_NO_THROW(configureLog(impossible, true));
    EXPECT_TRUE(isDebugMode());
    EXPECT_NO_THROW(logMessage(LogLevel::Error, "lost"));
    EXPECT_EQ(readFile(dir_.path() / "blocker"), "not a folder");
    // The earlier file is closed, not written to.
    EXPECT_EQ(contents(), "");

    // A folder in the file's place cannot be opened either.
    fs::create_directories(dir_.path() / "dirlog");
    EXPECT_NO_THROW(configureLog(dir_.path() / "dirlog", false));
    EXPECT_NO_THROW(logMessage(LogLevel::Error, "lost too"));

    // Another path later works again, creating its folders.
    fs::path good = dir_.path() / "a" / "b" / "bootstrap.log";
    configureLog(good, false);
    logMessage(LogLevel::Info, "kept");
    auto lines = linesOf(readFile(good));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("] kept"), std::string::npos);
}

TEST_F(LoggerTest, StartedProcessesDoNotInheritTheLog) {
    logMessage(LogLevel::Info, "opened");
    // A control file opened without close-on-exec shows the listing would catch a leak.
    fs::path control = dir_.path() / "inherited-control";
    writeFile(control, "");
    int leaked = ::open(control.c_str(), O_RDONLY);
    ASSERT_GE(leaked, 0);
    auto result = test::runChild("/bin/sh", {"-c", "ls -l /proc/self/fd/"});
    ::close(leaked);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_NE(result.standardOutput.find("inherited-control"), std::string::npos) << result.standardOutput;
    EXPECT_EQ(result.standardOutput.find("bootstrap.log"), std::string::npos) << result.standardOutput;
}

TEST_F(LoggerTest, ConcurrentWritersProduceWholeLinesAcrossARotation) {
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    // About 2.4 MB in all: one rotation happens while the threads write.
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                std::string body(1800 + (i * 7 + t) % 200, static_cast<char>('a' + t));
                logMessage(LogLevel::Info, "t" + std::to_string(t) + " i" + std::to_string(i) + " " + body);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(fs::exists(backupPath()));
    std::regex prefix(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z \[INFO\] t(\d) i(\d+) )");
    std::set<std::pair<int, int>> seen;
    for (const auto& path : {backupPath(), logPath()}) {
        for (const auto& line : linesOf(readFile(path))) {
            std::smatch match;
            auto head = line.substr(0, 60);
            ASSERT_TRUE(std::regex_search(head, match, prefix)) << head;
            int t = std::stoi(match[1]);
            int i = std::stoi(match[2]);
            std::string body = line.substr(match.length());
            ASSERT_EQ(body, std::string(1800 + (i * 7 + t) % 200, static_cast<char>('a' + t)));
            EXPECT_TRUE(seen.emplace(t, i).second);
        }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

// The child half of LoggerFreshProcess, in a process of its own where nothing
// has configured the log yet. Disabled, so that the suite does not run it on
// its own, where it would only skip.
TEST(LoggerChild, DISABLED_LogsNothingBeforeConfiguration) {
    const char* folder = std::getenv("ZARVO_LOG_CHILD_DIR");
    ASSERT_NE(folder, nullptr) << "run by LoggerFreshProcess";
    logMessage(LogLevel::Error, "before configuration");
    EXPECT_FALSE(isDebugMode());
    configureLog(fs::path(folder) / "logs" / "bootstrap.log", false);
    logMessage(LogLevel::Info, "after configuration");
}

TEST(LoggerFreshProcess, LinesBeforeConfigurationAreLost) {
    TempDir dir;
    test::ChildOptions options;
    options.environment["ZARVO_LOG_CHILD_DIR"] = dir.path().string();
    auto result = test::runChild(fs::read_symlink("/proc/self/exe"),
                                 {"--gtest_filter=LoggerChild.DISABLED_LogsNothingBeforeConfiguration",
                                  "--gtest_also_run_disabled_tests"},
                                 options);
    ASSERT_EQ(result.exitCode, 0) << result.standardOutput << result.standardError;
    auto lines = linesOf(readFile(dir.path() / "logs" / "bootstrap.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[INFO] after configuration"), std::string::npos);
}

}  // namespace
}  // namespace zarvo
