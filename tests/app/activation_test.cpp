// The rollback when the previous slot cannot take over either: it fails to
// come up, or the player cancels while it starts. Real slots with the
// stand-in core, the flow's own activation in this process.
#include "app/activation.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <future>
#include <thread>

#include "app/bootstrap.h"
#include "app/update_check.h"
#include "log/logger.h"
#include "support/expect_error.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "support/test_core.h"
#include "trust/strict_json.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kPrevious = "aaaaaaaaaaaaaaaaaaaaaaaa";
const std::string kNew = "bbbbbbbbbbbbbbbbbbbbbbbb";
const std::string kStale = "cccccccccccccccccccccccc";
const std::string kState = R"({"activeSlot":")" + kPrevious + R"(","highestSequence":2,"previousSlot":")" + kStale +
                           R"("})";

class RollbackTest : public ::testing::Test {
protected:
    RollbackTest() {
        configureLog(dir / "bootstrap.log", false);
        ::setenv(kTestCoreScriptVariable, (dir / "script.json").c_str(), 1);
        installTestCoreSlot(slot(kPrevious), key, 1);
        installTestCoreSlot(slot(kStale), key, 1);
        update.answer = installTestCoreSlot(slot(kNew), key, 2);
        update.slot = kNew;
        update.state = parseStrictJson(kState);
        writeFile(dataDir() / "bootstrap-state.json", kState);
        // The new slot's core no longer matches its file list: the launch
        // fails before it starts anything, and the previous slot is next.
        writeFile(slot(kNew) / "core/bin/core", "changed");

        context.dataDir = dataDir();
        context.codeTrust = key.trust();
    }
    ~RollbackTest() override { ::unsetenv(kTestCoreScriptVariable); }

    fs::path dataDir() const { return dir / "data"; }
    fs::path slot(const std::string& name) const { return dataDir() / "slots" / name; }
    fs::path recordFile() const { return dir / "record"; }

    void script(const std::string& normal, const std::string& software) {
        writeFile(dir / "script.json", R"({"record":")" + recordFile().string() + R"(","normal":)" + normal +
                                           R"(,"software":)" + software + "}");
    }

    // The state is untouched and nothing was cleaned up: no slot counts as
    // having started.
    void expectNothingChanged() {
        EXPECT_EQ(readFile(dataDir() / "bootstrap-state.json"), kState);
        for (const std::string& name : {kPrevious, kNew, kStale}) {
            EXPECT_TRUE(fs::exists(slot(name) / "manifest.json")) << name;
        }
    }

    static bool gone(const Json::Value& record) {
        return ::kill(static_cast<pid_t>(record["pid"].asInt64()), 0) == -1 && errno == ESRCH;
    }

    TempDir dir;
    TestKey key;
    Bootstrap context;
    AcceptedUpdate update;
};

TEST_F(RollbackTest, APreviousSlotThatAlsoFailsEndsTheRunWithItsFailure) {
    script(R"({"action":"exit","code":3})", R"({"action":"crash"})");
    EXPECT_ZARVO_ERROR(activateSlot(context, update, slot(kNew)), "STARTUP_FAILED",
                       "Новая версия не открыла интерфейс. Восстанавливаем предыдущую.");
    // Both attempts of the previous slot ran; the new one started nothing.
    const std::vector<Json::Value> starts = readCoreRecords(recordFile());
    ASSERT_EQ(starts.size(), 2u);
    for (const Json::Value& start : starts) {
        EXPECT_EQ(fs::path(start["cwd"].asString()), slot(kPrevious) / "core/bin");
    }
    expectNothingChanged();
}

TEST_F(RollbackTest, CancellingThePreviousSlotsStartEndsItsCore) {
    script(R"({"action":"hang"})", R"({"action":"ready"})");
    auto cancel = std::async(std::launch::async, [this] {
        for (int i = 0; i < 2000 && !fs::exists(recordFile()); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        context.cancelRequested = true;
    });
    EXPECT_ZARVO_ERROR(activateSlot(context, update, slot(kNew)), "CANCELLED", "Запуск отменён");
    cancel.get();
    const std::vector<Json::Value> starts = readCoreRecords(recordFile());
    ASSERT_EQ(starts.size(), 1u);  // no second attempt after a cancellation
    EXPECT_TRUE(gone(starts[0]));
    expectNothingChanged();
}

}  // namespace
}  // namespace zarvo::test
