// The pre-starter's hand-over to a newer one with real processes: a built
// pre-starter packed as a release's bundle, served over loopback, unpacked and
// started by the old run, installing itself and starting its installed copy.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <future>
#include <thread>

#include "app/update_manifest.h"
#include "support/child_process.h"
#include "support/helper_process.h"
#include "support/launcher_run.h"
#include "support/nginx_server.h"
#include "support/release_files.h"
#include "support/scripted_server.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "support/test_core.h"
#include "trust/hashing.h"
#include "trust/strict_json.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kBootstrapPath = "/api/v1/bootstrap";
const std::string kEntry = "bin/ZarvoLauncher";
const std::string kHandedOver = "Проверка обновлений\nЗагрузка приложения\nЗагрузка интерфейса\nОбновление престартера\n";
// The installed copy of a direct run has no service to reach and ends there.
const std::string kInstalledCopyRan = "[ERROR] Не удалось связаться с сервером";
// No process of this identifier can exist.
const std::string kGoneParent = "2147483000";

class SelfUpdateTest : public ::testing::Test {
protected:
    SelfUpdateTest() {
        writeFile(dir / "trust.json", writeCompactJson(key.trust()));
        writeFile(dir / "core-script.json", R"({"record":")" + (dir / "core-record").string() + R"("})");
        fs::create_directories(releaseDir / "bundle-tree/bin");
        fs::copy_file(launcherPath(), releaseDir / "bundle-tree" / kEntry);
        auto packed = runChild("/bin/tar", {"-czf", (releaseDir / "bundle.tar.gz").string(), "-C",
                                            (releaseDir / "bundle-tree").string(), "bin"});
        EXPECT_EQ(packed.exitCode, 0) << packed.standardError;
        bundleSha = hashFile(releaseDir / "bundle.tar.gz", "sha256");
    }

    // The player's own data folder: XDG_DATA_HOME's, with blanks and a "$"
    // in its path that the desktop entry must quote.
    fs::path xdgData() const { return dir / "da ta$"; }
    fs::path current() const { return dataDir / "bootstrap/current"; }
    fs::path unpacked() const { return dataDir / "bootstrap" / ("update-" + bundleSha.substr(0, 24)); }

    ChildOptions childOptions() const {
        ChildOptions options;
        options.environment[kTestCoreScriptVariable] = (dir / "core-script.json").string();
        options.environment["XDG_DATA_HOME"] = xdgData().string();
        options.environment["XDG_STATE_HOME"] = (dir / "state").string();
        return options;
    }

    // A normal run of the built (old) pre-starter.
    ChildResult run(std::vector<std::string> extra = {}, ChildOptions options = {}) {
        LauncherRun launcher(dataDir, server.origin(), dir / "trust.json");
        launcher.debug = true;
        launcher.child = childOptions();
        launcher.child.onStarted = options.onStarted;
        return launcher.run(extra);
    }

    // Serves a release whose bundle is the built pre-starter; bundleAnswers,
    // when given, serve the bundle from the scripted server instead of nginx.
    std::string serveRelease(const Json::Value& bundleAnswers = Json::Value()) {
        Json::Value manifest = compatibleManifest(1);
        publishRelease(manifest, releaseDir.path(), files.url(""));
        Json::Value& bundle = manifest["components"]["bootstrap"];
        bundle["url"] = bundleAnswers.isNull() ? files.url("/bundle.tar.gz") : server.url("/bundle.tar.gz");
        bundle["size"] = Json::UInt64(fs::file_size(releaseDir / "bundle.tar.gz"));
        bundle["sha256"] = bundleSha;
        bundle["entry"] = kEntry;
        if (!bundleAnswers.isNull()) {
            server.answer("/bundle.tar.gz", bundleAnswers);
        }
        Json::Value answer = key.sign(manifest);
        server.answer(kBootstrapPath, {jsonAnswer(200, writeCompactJson(answer))});
        return slotNameFor(answer);
    }

    // The self-replacement options as an old pre-starter gives them, for
    // direct runs of an unpacked bundle; "" as a value drops the option.
    std::vector<std::string> selfReplace(const std::map<std::string, std::string>& changes = {}) const {
        std::vector<std::pair<std::string, std::string>> options = {
            {"--data-dir", dataDir.string()},
            {"--service-url", "http://127.0.0.1:9"},
            {"--code-trust", (dataDir / "code-trust.json").string()},
            {"--self-replace", (current() / kEntry).string()},
            {"--parent", kGoneParent},
            {"--self-hash", bundleSha},
            {"--self-entry", kEntry},
            {"--bundle-root", unpacked().string()},
        };
        std::vector<std::string> arguments = {"--allow-loopback-http", "--headless", "--no-launch"};
        for (auto [name, value] : options) {
            if (auto change = changes.find(name); change != changes.end()) {
                value = change->second;
            }
            if (!value.empty()) {
                arguments.insert(arguments.end(), {name, value});
            }
        }
        return arguments;
    }

    // An unpacked bundle as the old side leaves it, and the trust file its run wrote.
    void unpackBundle() {
        fs::create_directories(unpacked() / "bin");
        fs::copy_file(launcherPath(), unpacked() / kEntry, fs::copy_options::overwrite_existing);
        writeFile(dataDir / "code-trust.json", writeCompactJson(key.trust()));
    }

    ChildResult runBundle(const std::vector<std::string>& arguments, ChildOptions options = {}) {
        ChildOptions defaults = childOptions();
        defaults.onStarted = options.onStarted;
        return runChild(unpacked() / kEntry, arguments, defaults);
    }

    std::string log() const {
        std::error_code error;
        return fs::exists(dataDir / "logs/bootstrap.log", error) ? readFile(dataDir / "logs/bootstrap.log") : "";
    }
    // The detached processes of a hand-over report only through the log.
    bool waitForLog(const std::string& text, std::size_t times = 1) const {
        for (int i = 0; i < 600; ++i) {
            if (countOf(log(), text) >= times) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    Json::Value state() const { return parseStrictJson(readFile(dataDir / "bootstrap-state.json")); }
    std::vector<Json::Value> coreStarts() const { return readCoreRecords(dir / "core-record"); }
    std::map<std::string, std::string> bootstrapFolder() const { return folderSnapshot(dataDir / "bootstrap"); }

    TempDir dir;
    fs::path dataDir = xdgData() / "ZarvoLauncher";
    TestKey key;
    ScriptedServer server;
    TempDir releaseDir;
    NginxServer files{releaseDir.path()};
    std::string bundleSha;
};

TEST_F(SelfUpdateTest, HandsOverInstallsItselfAndStartsTheCore) {
    const std::string slot = serveRelease();
    auto old = run();
    ASSERT_EQ(old.exitCode, 0) << old.standardError;
    EXPECT_EQ(old.standardOutput, kHandedOver);
    ASSERT_TRUE(waitForLog("bootstrap.stage Готово")) << log();

    const fs::path installed = current() / kEntry;
    EXPECT_EQ(hashFile(installed, "sha256"), hashFile(launcherPath(), "sha256"));
    EXPECT_NE(fs::status(installed).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(state()["bootstrapHash"].asString(), bundleSha);
    EXPECT_EQ(state()["activeSlot"].asString(), slot);
    // The old run launched nothing; the installed copy started the core once,
    // with the options the old run handed over.
    ASSERT_EQ(coreStarts().size(), 1u);
    EXPECT_EQ(coreStarts()[0]["cwd"].asString(), (dataDir / "slots" / slot / "core/bin").string());
    EXPECT_NE(writeCompactJson(coreStarts()[0]["argv"]).find("\"--debug\""), std::string::npos);
    for (const std::string& event : std::vector<std::string>{"self-update.begin bundle=", "self-update.unpacked folder=", "self-update.handover",
                              "self-update.complete bundle=", "self-update.parent-wait pid=",
                              "self-update.installed current=", "self-update.desktop-entry result=written",
                              "self-update.start executable=" + installed.string()}) {
        EXPECT_EQ(countOf(log(), event), 1u) << event << "\n" << log();
    }
    const std::string desktopEntry = readFile(xdgData() / "applications/zarvo-launcher.desktop");
    EXPECT_NE(desktopEntry.find("\nName=Zarvo Launcher\n"), std::string::npos);
    EXPECT_NE(desktopEntry.find("\nExec=\"" + dir.path().string() +
                                "/da ta\\\\$/ZarvoLauncher/bootstrap/current/bin/ZarvoLauncher\"\n"),
              std::string::npos)
        << desktopEntry;

    // The same bundle again: recorded, so no hand-over; the installed copy's
    // cleanup has removed everything but "current".
    auto again = run();
    ASSERT_EQ(again.exitCode, 0) << again.standardError;
    EXPECT_EQ(again.standardOutput, "Проверка обновлений\nОткрываем ZarvoLauncher\nГотово\n");
    for (const auto& [name, kind] : bootstrapFolder()) {
        EXPECT_TRUE(name.starts_with("current")) << name;
    }
    EXPECT_EQ(coreStarts().size(), 2u);
}

TEST_F(SelfUpdateTest, OptionsDecideWhetherAndHowTheHandOverRuns) {
    serveRelease();
    auto kept = run({"--no-self-update"});
    ASSERT_EQ(kept.exitCode, 0) << kept.standardError;
    EXPECT_EQ(kept.standardOutput.find("Обновление престартера"), std::string::npos);
    EXPECT_FALSE(state().isMember("bootstrapHash"));
    EXPECT_EQ(coreStarts().size(), 1u);

    // "--no-launch" still hands over, and reaches the installed copy; "--no-self-update" does not.
    auto handed = run({"--no-launch"});
    ASSERT_EQ(handed.exitCode, 0) << handed.standardError;
    EXPECT_EQ(handed.standardOutput, "Проверка обновлений\nОбновление престартера\n");
    ASSERT_TRUE(waitForLog("bootstrap.stage Обновление проверено и подготовлено")) << log();
    EXPECT_EQ(state()["bootstrapHash"].asString(), bundleSha);
    EXPECT_EQ(coreStarts().size(), 1u);
    const std::string started = log().substr(log().find("self-update.start "));
    EXPECT_NE(started.find(" --allow-loopback-http --headless --debug --no-launch\n"), std::string::npos) << started;
}

TEST_F(SelfUpdateTest, RefusedSelfReplacementsTouchNothing) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> changes;
        std::function<void()> arrange;
        fs::path program;  // empty: the unpacked bundle's entry
        std::string message;
    };
    const fs::path elsewhere = dir / "elsewhere/update-x";
    const std::vector<Case> cases = {
        {"other target", {{"--self-replace", (current() / "bin/Other").string()}}, {}, {},
         "Недопустимая цель самообновления"},
        {"not from the bundle", {}, {}, launcherPath(), "Неверный источник самообновления"},
        {"bundle outside the data folder",
         {{"--bundle-root", elsewhere.string()}},
         [&] {
             fs::create_directories(elsewhere / "bin");
             fs::copy_file(launcherPath(), elsewhere / kEntry, fs::copy_options::overwrite_existing);
         },
         elsewhere / kEntry, "Неверный источник самообновления"},
        {"parent not a number", {{"--parent", "abc"}}, {}, {}, "stoul"},
        {"no entry", {{"--self-entry", ""}}, {}, {}, "map::at"},
        {"unsafe entry", {{"--self-entry", "../current/bin/ZarvoLauncher"}}, {}, {}, "Опасный путь в манифесте"},
        {"no parent", {{"--parent", ""}}, {}, {}, "map::at"},
        {"a link in the bundle", {}, [&] { fs::create_symlink("/etc/passwd", unpacked() / "bin/passwd"); }, {},
         "Опасный файл престартера"},
        {"a FIFO in the bundle", {}, [&] { ASSERT_EQ(::mkfifo((unpacked() / "pipe").c_str(), 0600), 0); }, {},
         "Опасный файл престартера"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dataDir);
        unpackBundle();
        writeFile(current() / kEntry, "the installed pre-starter");
        writeFile(dataDir / "bootstrap-state.json", R"({"activeSlot":"a","bootstrapHash":"old"})");
        if (c.arrange) {
            c.arrange();
        }
        auto before = bootstrapFolder();

        std::vector<std::string> arguments = selfReplace(c.changes);
        // Without "--headless": a self-replacement run never opens a window, even to fail.
        arguments.erase(std::find(arguments.begin(), arguments.end(), "--headless"));
        auto result = runChild(c.program.empty() ? unpacked() / kEntry : c.program, arguments, childOptions());
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, c.message + "\n");
        EXPECT_NE(log().find("[ERROR] " + c.message + "\n"), std::string::npos) << log();
        EXPECT_EQ(readFile(current() / kEntry), "the installed pre-starter");
        EXPECT_EQ(readFile(dataDir / "bootstrap-state.json"), R"({"activeSlot":"a","bootstrapHash":"old"})");
        // Only the unsafe bundles get as far as a candidate, which stays for the cleanup.
        auto after = bootstrapFolder();
        std::erase_if(after, [](const auto& item) { return item.first.starts_with("candidate-"); });
        EXPECT_EQ(after, before);
    }
}

// "current" and a moved-aside "previous-…" lie beside the unpacked bundles
// and hold a pre-starter too, but they are no bundle: copying one would
// install the installed copy again, or an older one.
TEST_F(SelfUpdateTest, OnlyAnUnpackedBundleIsASource) {
    for (const std::string name : {"current", "previous-0123456789abcdef0123456789abcdef"}) {
        SCOPED_TRACE(name);
        fs::remove_all(dataDir);
        unpackBundle();
        const fs::path root = dataDir / "bootstrap" / name;
        fs::create_directories(root / "bin");
        fs::copy_file(launcherPath(), root / kEntry, fs::copy_options::overwrite_existing);
        writeFile(root / "marker", name);
        if (name != "current") {
            writeFile(current() / kEntry, "the installed pre-starter");
        }
        writeFile(dataDir / "bootstrap-state.json", R"({"bootstrapHash":"old"})");
        const auto before = bootstrapFolder();

        auto result = runChild(root / kEntry, selfReplace({{"--bundle-root", root.string()}}), childOptions());
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, "Неверный источник самообновления\n");
        EXPECT_EQ(bootstrapFolder(), before);
        EXPECT_EQ(readFile(dataDir / "bootstrap-state.json"), R"({"bootstrapHash":"old"})");
    }
}

// The rename that puts the candidate in place fails: the installed copy is
// moved back, so the player keeps a working pre-starter, and the state keeps
// the old hash, so the next run hands over again.
TEST_F(SelfUpdateTest, AFailedSwapPutsTheInstalledCopyBack) {
    unpackBundle();
    writeFile(current() / kEntry, "the installed pre-starter");
    writeFile(dataDir / "bootstrap-state.json", R"({"activeSlot":"a","bootstrapHash":"old"})");
    ChildOptions options = childOptions();
    options.environment["LD_PRELOAD"] = ZARVO_FAIL_SWAP_PATH;
    // A sanitized program wants its runtime first; the preloaded library comes before it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.environment["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";

    auto result = runChild(unpacked() / kEntry, selfReplace(), options);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.standardError.find("rename"), std::string::npos) << result.standardError;
    EXPECT_EQ(countOf(log(), "self-update.moved-aside"), 1u) << log();
    EXPECT_EQ(countOf(log(), "self-update.restore-failed"), 0u) << log();
    ASSERT_TRUE(fs::exists(current() / kEntry)) << "the installed copy was not moved back";
    EXPECT_EQ(readFile(current() / kEntry), "the installed pre-starter");
    EXPECT_EQ(readFile(dataDir / "bootstrap-state.json"), R"({"activeSlot":"a","bootstrapHash":"old"})");
    // Nothing is left moved aside; the candidate stays for the cleanup.
    std::size_t previous = 0;
    std::size_t candidates = 0;
    for (const auto& entry : fs::directory_iterator(dataDir / "bootstrap")) {
        const std::string name = entry.path().filename().string();
        previous += name.starts_with("previous-");
        candidates += name.starts_with("candidate-");
    }
    EXPECT_EQ(previous, 0u);
    EXPECT_EQ(candidates, 1u);
}

TEST_F(SelfUpdateTest, SwapsTheBundleInKeepsTheStateAndStartsTheInstalledCopy) {
    dataDir = dir / "portable";
    unpackBundle();
    // No "current" yet and no state: the candidate simply becomes "current".
    auto first = runBundle(selfReplace());
    ASSERT_EQ(first.exitCode, 0) << first.standardError;
    EXPECT_EQ(readFile(dataDir / "bootstrap-state.json"), R"({"bootstrapHash":")" + bundleSha + R"("})");
    EXPECT_EQ(hashFile(current() / kEntry, "sha256"), hashFile(launcherPath(), "sha256"));
    EXPECT_EQ(countOf(log(), "self-update.moved-aside"), 0u);
    ASSERT_TRUE(waitForLog(kInstalledCopyRan)) << log();
    // A data folder given on the command line leaves the desktop alone.
    EXPECT_FALSE(fs::exists(xdgData() / "applications"));

    // An installed copy is moved aside whole; other members of the state stay.
    writeFile(dataDir / "bootstrap-state.json", R"({"activeSlot":"s","bootstrapHash":"old","highestSequence":3})");
    writeFile(current() / "old-file", "old");
    auto second = runBundle(selfReplace());
    ASSERT_EQ(second.exitCode, 0) << second.standardError;
    EXPECT_EQ(readFile(dataDir / "bootstrap-state.json"),
              R"({"activeSlot":"s","bootstrapHash":")" + bundleSha + R"(","highestSequence":3})");
    EXPECT_FALSE(fs::exists(current() / "old-file"));
    std::size_t previous = 0;
    for (const auto& [name, bytes] : bootstrapFolder()) {
        previous += name.starts_with("previous-") && name.ends_with("/old-file") && bytes == "old";
    }
    EXPECT_EQ(previous, 1u);
    ASSERT_TRUE(waitForLog(kInstalledCopyRan, 2)) << log();

    // Without "--self-hash" the swap has happened when the run fails; the
    // state still lacks the hash, so the next normal run hands over again.
    writeFile(dataDir / "bootstrap-state.json", R"({"bootstrapHash":"old"})");
    auto noHash = runBundle(selfReplace({{"--self-hash", ""}}));
    EXPECT_EQ(noHash.exitCode, 1);
    EXPECT_EQ(noHash.standardError, "map::at\n");
    EXPECT_EQ(countOf(log(), "self-update.moved-aside"), 2u);
    EXPECT_EQ(readFile(dataDir / "bootstrap-state.json"), R"({"bootstrapHash":"old"})");
}

TEST_F(SelfUpdateTest, WaitsForTheOldProcessAndGivesUpAfterThirtySeconds) {
    dataDir = dir / "portable";
    unpackBundle();
    {
        HelperProcess parent("wait", dir / "unused");
        ASSERT_EQ(parent.readLine(), "ready");
        const std::string pid = std::to_string(parent.pid());
        auto run = std::async(std::launch::async, [&] { return runBundle(selfReplace({{"--parent", pid}})); });
        ASSERT_TRUE(waitForLog("self-update.complete bundle="));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(fs::exists(current()));
        parent.finish();
        auto result = run.get();
        ASSERT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_NE(log().find("self-update.parent-wait pid=" + pid + " result=ended"),
                  std::string::npos)
            << log();
        ASSERT_TRUE(waitForLog(kInstalledCopyRan)) << log();
    }

    fs::remove_all(current());
    writeFile(dataDir / "bootstrap-state.json", "{}");
    HelperProcess parent("wait", dir / "unused");
    ASSERT_EQ(parent.readLine(), "ready");
    auto before = bootstrapFolder();
    auto result = runBundle(selfReplace({{"--parent", std::to_string(parent.pid())}}));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "Престартер не завершился\n");
    EXPECT_NE(log().find("[WARN] self-update.parent-wait pid=" + std::to_string(parent.pid()) + " result=still-running"),
              std::string::npos);
    EXPECT_EQ(bootstrapFolder(), before);
    EXPECT_EQ(readFile(dataDir / "bootstrap-state.json"), "{}");
}

TEST_F(SelfUpdateTest, ABadBundleStopsTheRunAndLeavesNothingHalfUnpacked) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& tree)> arrange;
        bool truncate;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"a link", [](const fs::path& tree) { fs::create_symlink("ZarvoLauncher", tree / "bin/link"); }, false,
         "Символические ссылки в архиве запрещены"},
        {"over 128 MiB", [](const fs::path& tree) { fs::resize_file(tree / "bin/zeros", 134217729); }, false,
         "Распакованный архив превышает лимит"},
        {"truncated", {}, true, "Повреждённый архив"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path tree = releaseDir / "bad-tree";
        fs::remove_all(tree);
        fs::remove_all(dataDir);
        fs::create_directories(tree / "bin");
        fs::copy_file(launcherPath(), tree / kEntry);
        writeFile(tree / "bin/zeros", "");
        if (c.arrange) {
            c.arrange(tree);
        }
        const fs::path archive = releaseDir / "bundle.tar.gz";
        ASSERT_EQ(runChild("/bin/tar", {"-czf", archive.string(), "-C", tree.string(), "bin"}).exitCode, 0);
        if (c.truncate) {
            fs::resize_file(archive, fs::file_size(archive) / 2);
        }
        bundleSha = hashFile(archive, "sha256");
        serveRelease();

        auto result = run();
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, c.message + "\n");
        for (const auto& [name, kind] : bootstrapFolder()) {
            EXPECT_TRUE(name.starts_with("current") || name.starts_with(unpacked().filename().string() + "-unpacking-"))
                << name;
        }
        EXPECT_FALSE(fs::exists(unpacked()));
        EXPECT_FALSE(state().isMember("bootstrapHash"));
        EXPECT_TRUE(coreStarts().empty());
    }
    // The release itself still starts once its pre-starter is left alone.
    auto kept = run({"--no-self-update"});
    EXPECT_EQ(kept.exitCode, 0) << kept.standardError;
    EXPECT_EQ(coreStarts().size(), 1u);
}

TEST_F(SelfUpdateTest, KilledOrCrashedHandOversAreCompletedByTheNextRun) {
    // The old side killed while the bundle downloads.
    Json::Value slow = Json::Value(Json::objectValue);
    slow["bodyFile"] = (releaseDir / "bundle.tar.gz").string();
    slow["delayMs"] = 5000;
    Json::Value normal = slow;
    normal.removeMember("delayMs");
    normal["range"] = true;
    Json::Value answers(Json::arrayValue);
    answers.append(slow);
    answers.append(normal);
    const std::string slot = serveRelease(answers);
    std::atomic<int> oldProcess{0};
    ChildOptions options;
    options.onStarted = [&](int pid) { oldProcess = pid; };
    auto killed = std::async(std::launch::async, [&] { return run({}, options); });
    for (int i = 0; i < 200 && server.requestsFor("/bundle.tar.gz").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_GT(oldProcess, 0);
    ASSERT_EQ(::kill(oldProcess, SIGKILL), 0);
    EXPECT_EQ(killed.get().exitCode, -1);
    EXPECT_FALSE(fs::exists(unpacked()));

    // The new side killed while it waits for its parent.
    ASSERT_EQ(run().exitCode, 0);  // hands over to a new side that completes...
    ASSERT_TRUE(waitForLog("bootstrap.stage Готово")) << log();
    fs::remove_all(current());  // ...so take the installation back and kill the next one
    writeFile(dataDir / "bootstrap-state.json", R"({"activeSlot":")" + slot + R"("})");
    unpackBundle();
    {
        HelperProcess parent("wait", dir / "unused");
        ASSERT_EQ(parent.readLine(), "ready");
        std::atomic<int> newProcess{0};
        ChildOptions newOptions;
        newOptions.onStarted = [&](int pid) { newProcess = pid; };
        auto waiting = std::async(std::launch::async, [&] {
            return runBundle(selfReplace({{"--parent", std::to_string(parent.pid())}}), newOptions);
        });
        ASSERT_TRUE(waitForLog("self-update.complete bundle=", 2));
        ASSERT_GT(newProcess, 0);
        ASSERT_EQ(::kill(newProcess, SIGKILL), 0);
        EXPECT_EQ(waiting.get().exitCode, -1);
    }
    EXPECT_FALSE(fs::exists(current()));
    EXPECT_FALSE(state().isMember("bootstrapHash"));

    // What a crash mid-way leaves: a half-unpacked bundle beside the complete
    // one, a half copy, and the old installation moved aside with no "current".
    writeFile(dataDir / "bootstrap" / ("update-" + bundleSha.substr(0, 24) + "-unpacking-0f") / kEntry, "half");
    writeFile(dataDir / "bootstrap/candidate-0f/bin/ZarvoLauncher", "half");
    writeFile(dataDir / "bootstrap/previous-0f/bin/ZarvoLauncher", "old");
    auto repaired = run();
    ASSERT_EQ(repaired.exitCode, 0) << repaired.standardError;
    EXPECT_EQ(repaired.standardOutput, "Проверка обновлений\nОбновление престартера\n");
    ASSERT_TRUE(waitForLog("bootstrap.stage Готово", 2)) << log();
    EXPECT_EQ(countOf(log(), "self-update.unpack-reused"), 1u);
    EXPECT_EQ(hashFile(current() / kEntry, "sha256"), hashFile(launcherPath(), "sha256"));
    EXPECT_EQ(state()["bootstrapHash"].asString(), bundleSha);
    EXPECT_EQ(state()["activeSlot"].asString(), slot);
    for (const auto& [name, kind] : bootstrapFolder()) {
        EXPECT_TRUE(name.starts_with("current")) << name;
    }
}

}  // namespace
}  // namespace zarvo::test
