// Launches of a slot holding the stand-in core: the command line it gets, the
// ready handshake, the second attempt, and launches that must stop early.
#include "launch/launch_core.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "launch/start_process.h"
#include "log/logger.h"
#include "platform/user_settings.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "support/test_core.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"

namespace zarvo::test {
namespace {

using std::chrono::milliseconds;

const std::string kSoftwareStage = "Включаем совместимый режим графики";
const std::string kStartupFailed = "Новая версия не открыла интерфейс. Восстанавливаем предыдущую.";

class LaunchCoreTest : public ::testing::Test {
protected:
    LaunchCoreTest() {
        stored = installTestCoreSlot(slot(), key);
        configureLog(dir / "bootstrap.log", false);
        ::setenv(kTestCoreScriptVariable, (dir / "script.json").c_str(), 1);
        script(R"({"action":"ready"})", R"({"action":"ready"})");

        context.dataDir = dataDir();
        context.cancelRequested = &cancel;
        const Json::Value trust = key.trust();
        context.readManifest = [trust](const Json::Value& envelope) {
            return readUpdateManifest(envelope, trust, ManifestRules{platform::kPlatformName, false});
        };
        context.reportStage = [this](const std::string& text, double fraction) {
            if (cancel.load()) {
                throw Error("CANCELLED", "Обновление отменено");
            }
            stages.emplace_back(text, fraction);
        };
        // The program's own wait (200 polls of 100 ms): a confirmation, an exit
        // or a cancellation ends it at once, so only the cases that must run
        // out of time (a core that never confirms) shorten it, and a slow
        // start under the sanitizers is never mistaken for a failure.
    }

    // For the cases where an attempt must run out of time.
    void shortAttempts(int polls) {
        context.timing.polls = polls;
        context.timing.pause = milliseconds(50);
    }
    ~LaunchCoreTest() override { ::unsetenv(kTestCoreScriptVariable); }

    std::filesystem::path dataDir() const { return dir / "данные пользователя"; }
    std::filesystem::path slot() const { return dataDir() / "slots" / "0123456789abcdef01234567"; }
    std::filesystem::path recordFile() const { return dir / "record"; }

    void script(const std::string& normal, const std::string& software) {
        writeFile(dir / "script.json", R"({"record":")" + recordFile().string() + R"(","normal":)" + normal +
                                           R"(,"software":)" + software + "}");
    }

    void launch(bool softwareRendering = false) { launchCore(context, slot(), stored, softwareRendering); }

    std::vector<Json::Value> records() { return readCoreRecords(recordFile()); }

    std::string log() { return readFile(dir / "bootstrap.log"); }

    // Ready files of every attempt: none may stay behind.
    std::vector<std::string> readyFilesLeft() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(slot())) {
            if (entry.path().filename().string().rfind("ready-", 0) == 0) {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    static bool gone(const Json::Value& record) {
        return ::kill(static_cast<pid_t>(record["pid"].asInt64()), 0) == -1 && errno == ESRCH;
    }

    TempDir dir;
    TestKey key;
    Json::Value stored;
    std::atomic<bool> cancel{false};
    LaunchContext context;
    std::vector<std::pair<std::string, double>> stages;
};

std::vector<std::string> argumentsOf(const Json::Value& record) {
    std::vector<std::string> arguments;
    for (Json::ArrayIndex i = 1; i < record["argv"].size(); ++i) {
        arguments.push_back(record["argv"][i].asString());
    }
    return arguments;
}

TEST_F(LaunchCoreTest, ConfirmedCoreGetsTheFixedCommandLineFolderAndCleanEnvironment) {
    ::setenv("CLASSPATH", "/tmp/injected.jar", 1);
    scrubEnvironment();
    int sockets[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);  // inheritable, as libcurl leaves them

    launch();
    ::close(sockets[0]);
    ::close(sockets[1]);

    auto started = records();
    ASSERT_EQ(started.size(), 1u);
    const Json::Value& record = started[0];
    const std::string data = dataDir().string();
    const std::string slotText = slot().string();
    auto arguments = argumentsOf(record);
    ASSERT_EQ(arguments.size(), 12u);
    const std::string token = arguments[11];
    EXPECT_EQ(arguments, (std::vector<std::string>{
                             "--data-dir", data, "--bootstrap-receipt", slotText + "/manifest.json", "--code-trust",
                             data + "/code-trust.json", "--ui-package", slotText + "/ui.rcc", "--ready-file",
                             slotText + "/ready-" + token, "--ready-token", token}));
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(record["argv"][0].asString(), slotText + "/core/bin/core");
    EXPECT_EQ(record["cwd"].asString(), slotText + "/core/bin");
    EXPECT_FALSE(record["env"].isMember("CLASSPATH"));
    EXPECT_EQ(record["env"]["PATH"].asString(), std::string(::getenv("PATH")));
    EXPECT_EQ(record["fds"], Json::Value(Json::arrayValue)) << writeCompactJson(record["fds"]);
    EXPECT_TRUE(record["sessionLeader"].asBool());

    EXPECT_TRUE(stages.empty());
    EXPECT_TRUE(readyFilesLeft().empty());
    EXPECT_NE(log().find("[INFO] bootstrap.launch core=1.4.2 ui=2.0.0 software=false\n"), std::string::npos) << log();
    EXPECT_NE(log().find("[INFO] bootstrap.first-frame confirmed\n"), std::string::npos);
}

TEST_F(LaunchCoreTest, FlagsFollowTheOptionPairsInOrder) {
    context.allowLoopbackHttp = true;
    context.debug = true;
    launch(true);
    auto arguments = argumentsOf(records().at(0));
    ASSERT_EQ(arguments.size(), 15u);
    EXPECT_EQ(std::vector<std::string>(arguments.begin() + 12, arguments.end()),
              (std::vector<std::string>{"--allow-loopback-http", "--software-renderer", "--debug"}));
    EXPECT_NE(log().find("software=true\n"), std::string::npos);
}

TEST_F(LaunchCoreTest, CoreWithoutFirstFrameIsEndedAndRetriedWithSoftwareRendering) {
    context.debug = true;
    // The first attempt runs out of its 5 s; the second has as long to confirm.
    shortAttempts(100);
    script(R"({"action":"hang"})", R"({"action":"ready","delayMs":300})");
    launch();

    auto started = records();
    ASSERT_EQ(started.size(), 2u);
    EXPECT_TRUE(gone(started[0]));
    auto first = argumentsOf(started[0]);
    auto second = argumentsOf(started[1]);
    EXPECT_EQ(first.size(), 13u);
    EXPECT_EQ(second.size(), 14u);
    EXPECT_EQ(std::vector<std::string>(second.begin() + 12, second.end()),
              (std::vector<std::string>{"--software-renderer", "--debug"}));
    EXPECT_NE(first[11], second[11]);  // a fresh token per attempt
    ASSERT_EQ(stages.size(), 1u);
    EXPECT_EQ(stages[0].first, kSoftwareStage);
    EXPECT_DOUBLE_EQ(stages[0].second, 0.95);
    EXPECT_TRUE(readyFilesLeft().empty());
    EXPECT_NE(log().find("software=false\n"), std::string::npos);
    EXPECT_NE(log().find("software=true\n"), std::string::npos);
}

TEST_F(LaunchCoreTest, WrongContentIsNeverConfirmed) {
    shortAttempts(30);  // never confirmed, however fast the core
    script(R"({"action":"wrong"})", R"({"action":"newline"})");
    EXPECT_ZARVO_ERROR(launch(), "STARTUP_FAILED", kStartupFailed);
    auto started = records();
    ASSERT_EQ(started.size(), 2u);
    EXPECT_TRUE(gone(started[0]));
    EXPECT_TRUE(gone(started[1]));
    EXPECT_TRUE(readyFilesLeft().empty());
    EXPECT_EQ(log().find("bootstrap.first-frame"), std::string::npos);
}

TEST_F(LaunchCoreTest, CoreThatExitsIsNotWaitedFor) {
    script(R"({"action":"exit","code":0})", R"({"action":"crash"})");
    auto begin = std::chrono::steady_clock::now();
    EXPECT_ZARVO_ERROR(launch(), "STARTUP_FAILED", kStartupFailed);
    // Each attempt may wait 20 s; an exit ends it long before.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(15));
    EXPECT_EQ(records().size(), 2u);
    EXPECT_EQ(stages.size(), 1u);
    // How each attempt ended is in the log for support.
    EXPECT_NE(log().find("[WARN] bootstrap.core-ended exit=0\n"), std::string::npos) << log();
    EXPECT_NE(log().find("[WARN] bootstrap.core-ended signal="), std::string::npos) << log();

    // Writing the token and exiting at once still counts.
    std::filesystem::remove(recordFile());
    stages.clear();
    script(R"({"action":"ready-exit"})", R"({"action":"exit","code":1})");
    launch();
    EXPECT_EQ(records().size(), 1u);
    EXPECT_TRUE(stages.empty());
}

TEST_F(LaunchCoreTest, CancellationEndsTheCoreWithoutSecondAttempt) {
    script(R"({"action":"hang"})", R"({"action":"ready"})");
    auto running = std::async(std::launch::async, [this] {
        for (int i = 0; i < 500 && !std::filesystem::exists(recordFile()); ++i) {
            std::this_thread::sleep_for(milliseconds(10));
        }
        cancel.store(true);
    });
    EXPECT_ZARVO_ERROR(launch(), "CANCELLED", "Запуск отменён");
    running.get();
    auto started = records();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_TRUE(gone(started[0]));
    EXPECT_TRUE(stages.empty());
}

TEST_F(LaunchCoreTest, UnreadableReadyPathEndsTheLaunchAndTheCore) {
    script(R"({"action":"oversized"})", R"({"action":"ready"})");
    try {
        launch();
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), "LOCAL_ERROR");
        EXPECT_EQ(std::string(error.what()).rfind("Файл отсутствует или превышает допустимый размер: ", 0), 0u);
    }
    auto started = records();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_TRUE(gone(started[0]));
    EXPECT_TRUE(readyFilesLeft().empty());
}

TEST_F(LaunchCoreTest, CoreThatCannotStartFailsWithoutReadyFile) {
    ::chmod((slot() / "core" / "bin" / "core").c_str(), 0644);
    EXPECT_ZARVO_ERROR(launch(), "LOCAL_ERROR", "Не удалось запустить приложение");
    EXPECT_TRUE(readyFilesLeft().empty());
    EXPECT_FALSE(std::filesystem::exists(recordFile()));

    // An entry that names nothing, in a correctly signed manifest.
    Json::Value manifest = openSignedEnvelope(stored, key.trust(), "code");
    manifest["components"]["core"]["entry"] = "bin/missing";
    stored = key.sign(manifest);
    EXPECT_ZARVO_ERROR(launch(), "LOCAL_ERROR", "Не удалось запустить приложение");
    EXPECT_TRUE(readyFilesLeft().empty());

    manifest["components"]["core"]["entry"] = "../core/bin/core";
    stored = key.sign(manifest);
    EXPECT_ZARVO_ERROR(launch(), "UNSAFE_PATH", "Опасный путь в манифесте");
    EXPECT_FALSE(std::filesystem::exists(recordFile()));
}

TEST_F(LaunchCoreTest, ChangedCoreOrManifestStartsNothing) {
    const auto core = slot() / "core" / "bin" / "core";
    std::string bytes = readFile(core);
    bytes[bytes.size() / 2] ^= 0x01;
    writeFile(core, bytes);
    EXPECT_ZARVO_ERROR(launch(), "COMPONENT_CHANGED", "Файлы приложения изменены: bin/core");

    installTestCoreSlot(slot(), key);
    writeFile(slot() / "core" / "bin" / "extra.dll", "x");
    EXPECT_ZARVO_ERROR(launch(), "COMPONENT_CHANGED", "Посторонний файл приложения: bin/extra.dll");
    std::filesystem::remove(slot() / "core" / "bin" / "extra.dll");

    Json::Value tampered = stored;
    tampered["keyId"] = "ffffffffffffffff";
    stored = tampered;
    EXPECT_ZARVO_ERROR(launch(), "SIGNATURE_INVALID", "Подпись обновления не прошла проверку");

    EXPECT_FALSE(std::filesystem::exists(recordFile()));
    EXPECT_EQ(log().find("bootstrap.launch"), std::string::npos);
}

}  // namespace
}  // namespace zarvo::test
