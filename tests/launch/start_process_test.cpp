// Starting real programs: what the child receives, what it does not inherit,
// and starts that must fail before anything runs.
#include "launch/start_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "support/test_core.h"
#include "trust/strict_json.h"

namespace zarvo::test {
namespace {

using std::chrono::milliseconds;

class StartProcessTest : public ::testing::Test {
protected:
    StartProcessTest() {
        std::filesystem::create_directories(program.parent_path());
        std::filesystem::copy_file(testCorePath(), program);
        script(R"({"action":"hang"})");
        ::setenv(kTestCoreScriptVariable, (dir / "script.json").c_str(), 1);
    }
    ~StartProcessTest() override { ::unsetenv(kTestCoreScriptVariable); }

    void script(const std::string& behaviour) {
        writeFile(dir / "script.json",
                  R"({"record":")" + (dir / "record").string() + R"(","normal":)" + behaviour + "}");
    }

    // Waits until the started core has written its record.
    Json::Value firstRecord() {
        for (int i = 0; i < 200 && !std::filesystem::exists(dir / "record"); ++i) {
            std::this_thread::sleep_for(milliseconds(20));
        }
        auto records = readCoreRecords(dir / "record");
        return records.empty() ? Json::Value() : records.front();
    }

    TempDir dir;
    const std::filesystem::path program = dir / "папка с пробелом" / "core";
};

TEST_F(StartProcessTest, ChildGetsTheArgumentsItsFolderAndNothingElse) {
    // An inheritable socket pair, as libcurl leaves one, must not reach the child.
    int sockets[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    ::setenv("ZARVO_PASSED_THROUGH", "yes", 1);

    const std::vector<std::string> arguments = {"", "trailing\\", "in \"quotes\"", "with space", "данные"};
    auto process = startProcess(program, arguments);
    ASSERT_TRUE(process.open());
    Json::Value record = firstRecord();
    ::close(sockets[0]);
    ::close(sockets[1]);
    ::unsetenv("ZARVO_PASSED_THROUGH");

    ASSERT_TRUE(record.isObject());
    ASSERT_EQ(record["argv"].size(), arguments.size() + 1);
    EXPECT_EQ(record["argv"][0].asString(), program.string());
    for (Json::ArrayIndex i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(record["argv"][i + 1].asString(), arguments[i]);
    }
    EXPECT_EQ(record["cwd"].asString(), program.parent_path().string());
    EXPECT_EQ(record["fds"], Json::Value(Json::arrayValue)) << writeCompactJson(record["fds"]);
    for (const auto& stream : record["std"]) {
        EXPECT_EQ(stream.asString(), "/dev/null");
    }
    EXPECT_TRUE(record["sessionLeader"].asBool());
    EXPECT_EQ(record["env"]["ZARVO_PASSED_THROUGH"].asString(), "yes");
    EXPECT_EQ(record["env"]["PATH"].asString(), std::string(::getenv("PATH")));
    EXPECT_EQ(record["pid"].asInt64(), process.processId());

    // The handle reports a running process, ends it, and then reports the end.
    EXPECT_FALSE(process.waitForExit(milliseconds(0)));
    EXPECT_FALSE(process.waitForExit(milliseconds(50)));
    process.end(1);
    EXPECT_TRUE(process.waitForExit(milliseconds(5000)));
    EXPECT_TRUE(process.waitForExit(milliseconds(0)));
    const auto pid = static_cast<pid_t>(process.processId());
    process.close();
    EXPECT_EQ(::kill(pid, 0), -1);  // collected, not left as a zombie
}

TEST_F(StartProcessTest, ClosingTheHandleLeavesTheProcessRunning) {
    auto process = startProcess(program, {});
    const auto pid = static_cast<pid_t>(process.processId());
    firstRecord();
    process.close();
    EXPECT_FALSE(process.open());
    EXPECT_EQ(::kill(pid, 0), 0);
    ::kill(pid, SIGKILL);
}

TEST_F(StartProcessTest, ExitIsSeenWhileWaiting) {
    script(R"({"action":"exit","code":7,"delayMs":200})");
    auto process = startProcess(program, {});
    EXPECT_FALSE(process.waitForExit(milliseconds(0)));
    EXPECT_TRUE(process.waitForExit(milliseconds(10000)));
}

TEST_F(StartProcessTest, ProgramsThatCannotRunFailBeforeAnythingStarts) {
    const std::string message = "Не удалось запустить приложение";
    EXPECT_ZARVO_ERROR(startProcess(dir / "missing", {}), "LOCAL_ERROR", message);

    writeFile(dir / "not-executable", "#!/bin/sh\nexit 0\n");
    EXPECT_ZARVO_ERROR(startProcess(dir / "not-executable", {}), "LOCAL_ERROR", message);

    writeFile(dir / "no-interpreter", "plain bytes, no program");
    ::chmod((dir / "no-interpreter").c_str(), 0755);
    EXPECT_ZARVO_ERROR(startProcess(dir / "no-interpreter", {}), "LOCAL_ERROR", message);

    EXPECT_ZARVO_ERROR(startProcess(dir.path(), {}), "LOCAL_ERROR", message);

    // An argument that is not UTF-8 cannot be passed on every platform.
    EXPECT_ZARVO_ERROR(startProcess(program, {"ok", "\xFF"}), "LOCAL_ERROR", message);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_FALSE(std::filesystem::exists(dir / "record"));
}

}  // namespace
}  // namespace zarvo::test
