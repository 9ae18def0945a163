// Another program holding a file (an antivirus, an indexer: here a second
// process with the file open exclusively): on Windows the layer waits a brief
// hold out and reports it once, gives up after its bounded wait with the
// error it had, and never waits for a lock file another process holds. Linux
// has no such holds to wait for.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <thread>

#include "platform/file_entries.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "platform_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace zarvo::platform;
using zarvo::test::HelperProcess;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

std::mutex reportedGuard;
std::vector<std::string> reported;

void keepReport(const std::string& line) {
    std::lock_guard<std::mutex> hold(reportedGuard);
    reported.push_back(line);
}

struct Operation {
    const char* name;  // as the report names it
    // Runs the operation on the held file; returns what came of it.
    std::function<std::string(const fs::path& held)> run;
};

std::string outcomeOf(const std::function<void()>& call) {
    try {
        call();
        return "done";
    } catch (const std::system_error& error) {
        return error.code() == std::errc::device_or_resource_busy ? "busy" : error.what();
    }
}

const std::vector<Operation> kOperations = {
    {"replace", [](const fs::path& held) {
         return outcomeOf([&] { replaceFileDurably(held, held.parent_path() / "moved"); });
     }},
    {"remove", [](const fs::path& held) { return outcomeOf([&] { removeEntry(held); }); }},
    {"open", [](const fs::path& held) { return openComponentFile(held).has_value() ? "done" : "busy"; }},
};

class HeldFiles : public ::testing::Test {
protected:
    void SetUp() override {
        reported.clear();
        reportHeldFilesTo(keepReport);
    }
    void TearDown() override { reportHeldFilesTo(nullptr); }
    TempDir dir;
};

// A hold let go after 300 ms is waited out; one kept is given up on after the
// bounded wait, with the operation's own error.
TEST_F(HeldFiles, ABriefHoldIsWaitedOutAndOneForGoodEndsInTheErrorReportedOnce) {
    for (const bool brief : {true, false}) {
        for (const Operation& operation : kOperations) {
            reported.clear();
            const fs::path file = dir / (std::string(operation.name) + (brief ? "-brief" : "-kept"));
            writeFile(file, "content");
            HelperProcess helper("hold-lock", {pathToUtf8(file)});
            ASSERT_EQ(helper.status(), "held");
            std::thread letGo([&] {
                if (brief) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    helper.release();
                }
            });
            const std::string outcome = operation.run(file);
            letGo.join();
            const std::string what = std::string(operation.name) + (brief ? " brief" : " kept");
#ifdef _WIN32
            EXPECT_EQ(outcome, brief ? "done" : "busy") << what;
            ASSERT_EQ(reported.size(), 1u) << what;
            EXPECT_NE(reported[0].find(std::string("file.held operation=") + operation.name + " path=" +
                                       pathToGenericUtf8(file) + " error=sharing-violation waitedMs="),
                      std::string::npos)
                << reported[0];
            EXPECT_NE(reported[0].find(brief ? " outcome=done" : " waitedMs=10000 outcome=failed"), std::string::npos)
                << reported[0];
#else
            // Nothing on Linux stops a rename or a removal; the open meets the holder's lock and says so at once.
            EXPECT_EQ(outcome, operation.name == std::string("open") ? "busy" : "done") << what;
            EXPECT_TRUE(reported.empty());
#endif
        }
    }
}

// Another pre-starter's lock is an answer, not a hold: busy without a wait.
TEST_F(HeldFiles, ALockFileAnotherProcessHoldsIsBusyAtOnce) {
    HelperProcess helper("hold-lock", {pathToUtf8(dir / "bootstrap.lock")});
    ASSERT_EQ(helper.status(), "held");
    EXPECT_FALSE(openExclusiveLockFile(dir / "bootstrap.lock").has_value());
    EXPECT_TRUE(reported.empty());
}

}  // namespace
