// A headless update check of the built pre-starter against a real loopback service.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "app/update_manifest.h"
#include "support/child_process.h"
#include "support/launcher_run.h"
#include "support/nginx_server.h"
#include "support/release_files.h"
#include "support/scripted_server.h"
#include "support/server_process.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "support/test_core.h"
#include "trust/strict_json.h"

namespace zarvo::test {
namespace {

const std::string kBootstrapPath = "/api/v1/bootstrap";
const std::string kOfflineStage = "Открываем сохранённый интерфейс без подключения";
// An accepted release is installed and, with "--no-launch", not started.
const std::string kPreparedOutput =
    "Проверка обновлений\nЗагрузка приложения\nЗагрузка интерфейса\nОбновление проверено и подготовлено\n";
const std::string kNetworkError = "Не удалось связаться с сервером. Проверьте подключение.\n";

class UpdateCheckTest : public ::testing::Test {
protected:
    UpdateCheckTest() { writeFile(trustPath(), writeCompactJson(key.trust())); }

    std::filesystem::path dataDir() const { return dir / "data"; }
    std::filesystem::path trustPath() const { return dir / "trust.json"; }

    ChildResult run(const std::string& serviceUrl, std::vector<std::string> extra = {}) {
        LauncherRun launcher(dataDir(), serviceUrl, trustPath());
        // The started core records what it got; the variable reaches it through the pre-starter.
        launcher.coreScript = dir / "core-script.json";
        launcher.child.environment["CLASSPATH"] = "/tmp/injected.jar";
        writeFile(dir / "core-script.json", R"({"record":")" + coreRecord().string() + R"("})");
        return launcher.run(extra);
    }

    // A run that installs the accepted release without starting it, so the
    // state holds only what the check wrote.
    ChildResult runPrepared(const std::string& serviceUrl, std::vector<std::string> extra = {}) {
        extra.push_back("--no-launch");
        return run(serviceUrl, extra);
    }

    std::filesystem::path coreRecord() const { return dir / "core-record"; }

    // The manifest with its components published on the release file server.
    Json::Value published(Json::Value manifest) {
        publishRelease(manifest, releaseDir.path(), files.url(""));
        return manifest;
    }

    // Serves the signed manifest and returns the answer envelope.
    Json::Value serve(const Json::Value& manifest) {
        Json::Value answer = key.sign(published(manifest));
        server.answer(kBootstrapPath, {jsonAnswer(200, writeCompactJson(answer))});
        return answer;
    }

    std::string log() { return readFile(dataDir() / "logs" / "bootstrap.log"); }

    // An installed slot with a working core that the state names as active.
    void installActiveSlot(const std::string& slot) {
        installTestCoreSlot(dataDir() / "slots" / slot, key);
        writeFile(dataDir() / "bootstrap-state.json", R"({"activeSlot":")" + slot + R"(","highestSequence":1})");
    }

    TempDir dir;
    TestKey key;
    ScriptedServer server;
    TempDir releaseDir;
    NginxServer files{releaseDir.path()};
};

TEST_F(UpdateCheckTest, AcceptsTheReleaseRecordsItAndNamesTheSlot) {
    Json::Value answer = serve(compatibleManifest(5));
    auto result = runPrepared(server.origin());
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, kPreparedOutput);
    EXPECT_EQ(result.standardError, "");

    Json::Value state = parseStrictJson(readFile(dataDir() / "bootstrap-state.json"));
    EXPECT_EQ(state["highestSequence"].asInt64(), 5);
    EXPECT_EQ(readFile(dataDir() / "code-trust.json"), writeCompactJson(key.trust()));
    EXPECT_NE(log().find("[INFO] bootstrap.slot slot=" + slotNameFor(answer) + "\n"), std::string::npos) << log();
    // Nothing another account could read or lock.
    namespace fs = std::filesystem;
    for (const char* name : {"bootstrap.lock", "bootstrap-state.json", "code-trust.json", "slots", "downloads"}) {
        EXPECT_EQ(fs::status(dataDir() / name).permissions() & (fs::perms::group_all | fs::perms::others_all),
                  fs::perms::none)
            << name;
    }

    auto requests = server.requestsFor(kBootstrapPath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/api/v1/bootstrap?platform=linux");
    EXPECT_EQ(requests[0].header("Accept"), "application/json");
    EXPECT_EQ(requests[0].header("User-Agent"), "zarvolauncher/0.1");
    EXPECT_FALSE(requests[0].header("Authorization").has_value());
    EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(UpdateCheckTest, AStateOfTheWrongShapeIsReportedAndKept) {
    serve(compatibleManifest(5));
    for (const char* state : {"[]", R"({"highestSequence":"9"})", R"({"highestSequence":1e30})"}) {
        writeFile(dataDir() / "bootstrap-state.json", state);
        auto result = runPrepared(server.origin());
        EXPECT_EQ(result.exitCode, 1) << state;
        EXPECT_EQ(result.standardError, "Некорректное состояние обновления\n") << state;
        EXPECT_EQ(readFile(dataDir() / "bootstrap-state.json"), state);
    }
}

TEST_F(UpdateCheckTest, ManifestWithoutSequenceCountsAsZero) {
    Json::Value manifest = compatibleManifest(0);
    manifest.removeMember("sequence");
    serve(manifest);
    auto result = runPrepared(server.origin());
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    // The digests of its files are kept too, so a partial download of them survives the cleanup.
    Json::Value state = parseStrictJson(readFile(dataDir() / "bootstrap-state.json"));
    EXPECT_EQ(state["acceptedDigests"].size(), 2u);
    state.removeMember("acceptedDigests");
    EXPECT_EQ(writeCompactJson(state), R"({"highestSequence":0})");
}

TEST_F(UpdateCheckTest, RollbackIsRefusedAndWritesNothing) {
    writeFile(dataDir() / "bootstrap-state.json", R"({"highestSequence":9,"keptByOthers":{"x":1}})");
    serve(compatibleManifest(7));
    auto result = run(server.origin());
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "Сервер предложил устаревший манифест\n");
    EXPECT_EQ(readFile(dataDir() / "bootstrap-state.json"), R"({"highestSequence":9,"keptByOthers":{"x":1}})");
    EXPECT_FALSE(std::filesystem::exists(dataDir() / "code-trust.json"));

    // The same sequence again is accepted; members this writer does not know survive.
    serve(compatibleManifest(9));
    result = runPrepared(server.origin());
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    Json::Value state = parseStrictJson(readFile(dataDir() / "bootstrap-state.json"));
    EXPECT_EQ(state["acceptedDigests"].size(), 2u);
    state.removeMember("acceptedDigests");
    EXPECT_EQ(writeCompactJson(state), R"({"highestSequence":9,"keptByOthers":{"x":1}})");
    EXPECT_TRUE(std::filesystem::exists(dataDir() / "code-trust.json"));
}

TEST_F(UpdateCheckTest, RefusedAnswersStopTheRunWithTheirMessage) {
    struct Case {
        Json::Value answer;
        std::string message;
    };
    Json::Value unpublished = compatibleManifest(4);
    unpublished["components"]["ui"]["sha256"] = std::string(63, 'a');
    Json::Value otherPlatform = compatibleManifest(4);
    otherPlatform["platform"] = "windows";
    TestKey stranger;
    std::vector<Case> cases = {
        {jsonAnswer(200, ""), "Неподходящий ключ подписи\n"},
        {jsonAnswer(200, "{\"a\":1,\"a\":2}"), "Некорректный JSON\n"},
        {jsonAnswer(200, writeCompactJson(stranger.sign(compatibleManifest(4)))), "Подпись обновления не прошла проверку\n"},
        {jsonAnswer(200, writeCompactJson(key.sign(otherPlatform))), "Манифест обновления несовместим\n"},
        {jsonAnswer(404, R"({"error":{"code":"NOT_PUBLISHED","message":"Релиз не найден"}})"), "Релиз не найден\n"},
        {jsonAnswer(400, "{}"), "Сервер отклонил запрос\n"},
        {redirectAnswer(302, "https://elsewhere.example/"), "Сервер отклонил запрос\n"},
    };
    for (const auto& item : cases) {
        server.answer(kBootstrapPath, {item.answer});
        auto result = run(server.origin());
        EXPECT_EQ(result.exitCode, 1) << item.message;
        EXPECT_EQ(result.standardError, item.message);
        EXPECT_FALSE(std::filesystem::exists(dataDir() / "bootstrap-state.json")) << item.message;
        EXPECT_EQ(log().find("bootstrap.slot"), std::string::npos) << item.message;
    }

    // Unpublished components, a short digest or no ui at all (a release half
    // published), are found after the sequence and the trust file were recorded.
    Json::Value withoutUi = compatibleManifest(4);
    withoutUi["components"].removeMember("ui");
    for (const Json::Value& manifest : {unpublished, withoutUi}) {
        std::filesystem::remove_all(dataDir());
        server.answer(kBootstrapPath, {jsonAnswer(200, writeCompactJson(key.sign(manifest)))});
        auto result = run(server.origin());
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, "Компоненты приложения ещё не опубликованы\n");
        EXPECT_EQ(parseStrictJson(readFile(dataDir() / "bootstrap-state.json"))["highestSequence"].asInt64(), 4);
        EXPECT_TRUE(std::filesystem::exists(dataDir() / "code-trust.json"));
        EXPECT_EQ(log().find("bootstrap.slot"), std::string::npos);
    }
}

TEST_F(UpdateCheckTest, OfflineStartOnlyForUnreachableOrFailingServices) {
    const std::string slot = "0123456789abcdef01234567";
    installActiveSlot(slot);
    const std::string state = readFile(dataDir() / "bootstrap-state.json");
    const std::string closed = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
    // Left over from older releases: cleaned up after the installed core has started.
    const auto staleSlot = dataDir() / "slots" / "ffffffffffffffffffffffff";
    const auto staleDownload = dataDir() / "downloads" / std::string(64, 'e');
    writeFile(staleSlot / "manifest.json", "{}");
    writeFile(staleDownload, "old");

    auto offline = run(closed);
    EXPECT_EQ(offline.exitCode, 0) << offline.standardError;
    EXPECT_FALSE(std::filesystem::exists(staleSlot));
    EXPECT_FALSE(std::filesystem::exists(staleDownload));
    EXPECT_TRUE(std::filesystem::exists(dataDir() / "slots" / slot / "manifest.json"));
    EXPECT_EQ(offline.standardOutput, "Проверка обновлений\n" + kOfflineStage + "\n");
    EXPECT_EQ(offline.standardError, "");
    EXPECT_EQ(readFile(dataDir() / "bootstrap-state.json"), state);
    EXPECT_NE(log().find("[INFO] bootstrap.launch core=1.4.2 ui=2.0.0 software=false\n"), std::string::npos) << log();
    EXPECT_NE(log().find("[INFO] bootstrap.first-frame confirmed\n"), std::string::npos);

    // The installed core was started with the slot's receipt and the run's loopback flag, without the scrubbed variable.
    auto started = readCoreRecords(coreRecord());
    ASSERT_EQ(started.size(), 1u);
    const Json::Value& argv = started[0]["argv"];
    ASSERT_EQ(argv.size(), 14u);
    const std::string slotFolder = (dataDir() / "slots" / slot).string();
    EXPECT_EQ(argv[0].asString(), slotFolder + "/core/bin/core");
    EXPECT_EQ(argv[4].asString(), slotFolder + "/manifest.json");
    EXPECT_EQ(argv[6].asString(), dataDir().string() + "/code-trust.json");
    EXPECT_EQ(argv[13].asString(), "--allow-loopback-http");
    EXPECT_FALSE(started[0]["env"].isMember("CLASSPATH"));
    // Nothing the pre-starter had open (the request's sockets, the log, the locks) reaches the core.
    EXPECT_EQ(started[0]["fds"], Json::Value(Json::arrayValue)) << writeCompactJson(started[0]["fds"]);

    server.answer(kBootstrapPath, {jsonAnswer(503, R"({"error":{"code":"MAINTENANCE","message":"Работы"}})")});
    auto unavailable = run(server.origin());
    EXPECT_EQ(unavailable.exitCode, 0) << unavailable.standardError;
    EXPECT_EQ(unavailable.standardOutput, "Проверка обновлений\n" + kOfflineStage + "\n");

    server.answer(kBootstrapPath, {jsonAnswer(500, "")});
    EXPECT_EQ(run(server.origin()).exitCode, 0);
    EXPECT_EQ(readCoreRecords(coreRecord()).size(), 3u);

    // A proxy's HTML page in front of a down service, or a captive portal's
    // page in place of the answer: not the service at all, the installed
    // version starts as without one.
    for (int status : {502, 200, 404}) {
        SCOPED_TRACE(status);
        server.answer(kBootstrapPath, {jsonAnswer(status, "<html>page</html>")});
        auto page = run(server.origin());
        EXPECT_EQ(page.exitCode, 0) << page.standardError;
        EXPECT_EQ(page.standardOutput, "Проверка обновлений\n" + kOfflineStage + "\n");
    }
    EXPECT_EQ(readCoreRecords(coreRecord()).size(), 6u);

    server.answer(kBootstrapPath, {jsonAnswer(403, R"({"error":{"code":"BANNED","message":"Доступ закрыт"}})")});
    auto refused = run(server.origin());
    EXPECT_EQ(refused.standardOutput, "Проверка обновлений\n");
    EXPECT_EQ(refused.standardError, "Доступ закрыт\n");

    auto noLaunch = run(closed, {"--no-launch"});
    EXPECT_EQ(noLaunch.standardOutput, "Проверка обновлений\n");
    EXPECT_EQ(noLaunch.standardError, kNetworkError);

    writeFile(dataDir() / "bootstrap-state.json", R"({"activeSlot":"../escape"})");
    auto invalidSlot = run(closed);
    EXPECT_EQ(invalidSlot.standardOutput, "Проверка обновлений\n");
    EXPECT_EQ(invalidSlot.standardError, kNetworkError);
    writeFile(dataDir() / "bootstrap-state.json", R"({"activeSlot":{"name":"x"}})");
    EXPECT_EQ(run(closed).standardError, kNetworkError);
    // Without an installed version the page's own error reaches the player.
    server.answer(kBootstrapPath, {jsonAnswer(200, "<html>page</html>")});
    EXPECT_EQ(run(server.origin()).standardError, "Некорректный JSON\n");
    EXPECT_EQ(readCoreRecords(coreRecord()).size(), 6u);
}

TEST_F(UpdateCheckTest, OfflineStartOfABrokenSlotFailsWithoutStartingIt) {
    const std::string slot = "0123456789abcdef01234567";
    installActiveSlot(slot);
    const auto slotFolder = dataDir() / "slots" / slot;
    const std::string closed = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());

    // A core changed after installation is refused by its inventory.
    const std::string original = readFile(slotFolder / "core" / "bin" / "core");
    writeFile(slotFolder / "core" / "bin" / "core", original + "tail");
    auto changed = run(closed);
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_EQ(changed.standardOutput, "Проверка обновлений\n" + kOfflineStage + "\n");
    EXPECT_EQ(changed.standardError, "Файлы приложения изменены: bin/core\n");
    writeFile(slotFolder / "core" / "bin" / "core", original);

    // A stored answer that no longer verifies is not started from.
    Json::Value tampered = parseStrictJson(readFile(slotFolder / "manifest.json"));
    tampered["keyId"] = "ffffffffffffffff";
    writeFile(slotFolder / "manifest.json", writeCompactJson(tampered));
    EXPECT_EQ(run(closed).standardError, "Подпись обновления не прошла проверку\n");

    EXPECT_FALSE(std::filesystem::exists(coreRecord()));
    EXPECT_EQ(log().find("bootstrap.launch"), std::string::npos);
}

TEST_F(UpdateCheckTest, BrokenStateStopsEveryRunAndIsLeftForRepair) {
    writeFile(dataDir() / "bootstrap-state.json", "{\"highestSequence\":3,");
    serve(compatibleManifest(5));
    for (int i = 0; i < 2; ++i) {
        auto result = run(server.origin());
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, "Некорректный JSON\n");
    }
    EXPECT_EQ(readFile(dataDir() / "bootstrap-state.json"), "{\"highestSequence\":3,");
    EXPECT_TRUE(server.requestsFor(kBootstrapPath).empty());
}

TEST_F(UpdateCheckTest, SecondPreStarterOnTheSameDataDirectoryIsBusy) {
    Json::Value answer = key.sign(published(compatibleManifest(2)));
    Json::Value slow = jsonAnswer(200, writeCompactJson(answer));
    slow["delayMs"] = 3000;
    server.answer(kBootstrapPath, {slow});

    auto first = std::async(std::launch::async, [&] { return runPrepared(server.origin()); });
    // Wait until the first one is inside its request, so it holds the update lock.
    for (int i = 0; i < 100 && server.requestsFor(kBootstrapPath).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    auto second = run(server.origin());
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.standardError, "Обновление уже открыто в другом процессе\n");
    auto firstResult = first.get();
    EXPECT_EQ(firstResult.exitCode, 0) << firstResult.standardError;
    EXPECT_EQ(server.requestsFor(kBootstrapPath).size(), 1u);
}

TEST_F(UpdateCheckTest, ServiceUrlIsJoinedWithoutChangingItsSlashes) {
    serve(compatibleManifest(1));
    auto result = runPrepared(server.origin() + "/", {"--debug"});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    // The test server tidies "//" away itself, so read what was requested from the debug log.
    EXPECT_NE(log().find("[DEBUG] http.begin GET " + server.origin() + "//api/v1/bootstrap\n"), std::string::npos)
        << log();
}

TEST_F(UpdateCheckTest, SelfReplacementRunTakesNoUpdateLock) {
    auto result = runChild(launcherPath(), {"--self-replace", (dir / "bundle").string(), "--data-dir",
                                            dataDir().string(), "--code-trust", trustPath().string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "map::at\n");
    EXPECT_FALSE(std::filesystem::exists(dataDir() / "bootstrap.lock"));
}

TEST(ReleaseToolRoundTrip, ReleaseSignedByTheToolIsAccepted) {
    TempDir dir;
    const std::string tool = ZARVO_RELEASE_TOOL_PATH;
    auto keygen = runChild(tool, {"keygen", "--secret-key", (dir / "key.json").string(), "--trust",
                                  (dir / "code-trust.json").string()});
    ASSERT_EQ(keygen.exitCode, 0) << keygen.standardError;
    TempDir releaseDir;
    NginxServer files(releaseDir.path());
    Json::Value manifest = compatibleManifest(12);
    publishRelease(manifest, releaseDir.path(), files.url(""));
    writeFile(dir / "manifest.json", writeCompactJson(manifest));
    auto sign = runChild(tool, {"sign", "--secret-key", (dir / "key.json").string(), "--payload",
                                (dir / "manifest.json").string(), "--out", (dir / "answer.json").string()});
    ASSERT_EQ(sign.exitCode, 0) << sign.standardError;

    ScriptedServer server;
    server.answer(kBootstrapPath, {jsonAnswer(200, readFile(dir / "answer.json"))});
    const LauncherRun launcher(dir / "data", server.origin(), dir / "code-trust.json");
    auto result = launcher.run({"--no-launch"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, kPreparedOutput);
    EXPECT_EQ(parseStrictJson(readFile(dir / "data/bootstrap-state.json"))["highestSequence"].asInt64(), 12);
    EXPECT_EQ(readFile(dir / "data/code-trust.json"), readFile(dir / "code-trust.json"));

    writeFile(dir / "manifest.json", writeCompactJson(compatibleManifest(11)));
    runChild(tool, {"sign", "--secret-key", (dir / "key.json").string(), "--payload", (dir / "manifest.json").string(),
                    "--out", (dir / "answer.json").string()});
    server.answer(kBootstrapPath, {jsonAnswer(200, readFile(dir / "answer.json"))});
    auto older = launcher.run({"--no-launch"});
    EXPECT_EQ(older.exitCode, 1);
    EXPECT_EQ(older.standardError, "Сервер предложил устаревший манифест\n");
}

}  // namespace
}  // namespace zarvo::test
