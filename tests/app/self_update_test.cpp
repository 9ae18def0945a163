// The pre-starter's hand-over to a newer one with real processes: a built
// pre-starter packed as a release's bundle, served over loopback, unpacked and
// started by the old run, installing itself and starting its installed copy.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <future>
#include <memory>
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
const std::string kVersionPrefix = "zarvo-bootstrap-version:";

// What this build's --version says after the program's name.
std::string launcherVersionText() {
    const std::string text = runChild(launcherPath(), {"--version"}).standardOutput;
    return text.substr(text.find(' ') + 1, text.size() - text.find(' ') - 2);
}

// The built pre-starter with another version recorded in its bytes, so the
// log's version line tells the bundle's program from the one the test starts.
void writeNewerProgram(const fs::path& path) {
    std::string bytes = readFile(launcherPath());
    const std::size_t at = bytes.find(kVersionPrefix + launcherVersionText());
    EXPECT_NE(at, std::string::npos);
    bytes[at + kVersionPrefix.size()] = '9';
    writeFile(path, bytes);
    fs::permissions(path, fs::perms::owner_all);
}

// Relative path -> sha256 of every file below tree, the form of a component's file list.
Json::Value filesOf(const fs::path& tree) {
    Json::Value files(Json::objectValue);
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
        if (entry.is_regular_file() && !entry.is_symlink()) {
            files[entry.path().lexically_relative(tree).generic_string()] = hashFile(entry.path(), "sha256");
        }
    }
    return files;
}

class SelfUpdateTest : public ::testing::Test {
protected:
    SelfUpdateTest() {
        writeFile(dir / "trust.json", writeCompactJson(key.trust()));
        writeFile(dir / "core-script.json", R"({"record":")" + (dir / "core-record").string() + R"("})");
        fs::create_directories(bundleTree / "bin");
        writeNewerProgram(bundleTree / kEntry);
        packBundle(bundleTree);
    }

    void packBundle(const fs::path& tree) {
        auto packed =
            runChild("/bin/tar", {"-czf", (releaseDir / "bundle.tar.gz").string(), "-C", tree.string(), "bin"});
        EXPECT_EQ(packed.exitCode, 0) << packed.standardError;
        bundleSha = hashFile(releaseDir / "bundle.tar.gz", "sha256");
        bundleFiles = filesOf(tree);
    }
    std::string bundleProgram() const { return hashFile(bundleTree / kEntry, "sha256"); }

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
        for (const auto& [name, value] : options.environment) {
            launcher.child.environment[name] = value;
        }
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
        if (!bundleFiles.isNull()) {
            bundle["files"] = bundleFiles;
        }
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
        fs::copy_file(bundleTree / kEntry, unpacked() / kEntry, fs::copy_options::overwrite_existing);
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
    fs::path bundleTree = releaseDir / "bundle-tree";
    std::string bundleSha;
    Json::Value bundleFiles;
};

TEST_F(SelfUpdateTest, HandsOverInstallsItselfAndStartsTheCore) {
    const std::string slot = serveRelease();
    auto old = run();
    ASSERT_EQ(old.exitCode, 0) << old.standardError;
    EXPECT_EQ(old.standardOutput, kHandedOver);
    ASSERT_TRUE(waitForLog("bootstrap.stage Готово")) << log();

    const fs::path installed = current() / kEntry;
    EXPECT_EQ(hashFile(installed, "sha256"), bundleProgram());
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
    // cleanup has removed everything but "current". The program started the
    // usual way hands the run to the installed copy, whose stages and exit
    // code are the run's.
    const std::size_t before = log().size();
    auto again = run();
    ASSERT_EQ(again.exitCode, 0) << again.standardError;
    EXPECT_EQ(again.standardOutput, "Проверка обновлений\nОткрываем ZarvoLauncher\nГотово\n");
    const std::string later = log().substr(before);
    const std::size_t forward = later.find("[INFO] bootstrap.forward target=" + installed.string() + " pid=");
    ASSERT_NE(forward, std::string::npos) << later;
    EXPECT_LT(later.find("bootstrap.version " + launcherVersionText()), forward);
    EXPECT_NE(later.find("bootstrap.version 9", forward), std::string::npos) << later;
    EXPECT_NE(later.find("bootstrap.forward-ended code=0"), std::string::npos) << later;
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
    EXPECT_EQ(hashFile(current() / kEntry, "sha256"), bundleProgram());
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
    // One exchange where the file system has it, else two renames.
    EXPECT_EQ(countOf(log(), "self-update.exchanged") + countOf(log(), "self-update.moved-aside"), 2u);
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

// A verified bundle that does not unpack never will: the run says why, and the
// next one leaves the bundle alone and starts the release.
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
        bundleFiles = filesOf(tree);
        serveRelease();
        const std::size_t started = coreStarts().size();

        auto result = run();
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, c.message + "\n");
        for (const auto& [name, kind] : bootstrapFolder()) {
            EXPECT_TRUE(name.starts_with("current") || name.starts_with(unpacked().filename().string() + "-unpacking-"))
                << name;
        }
        EXPECT_FALSE(fs::exists(unpacked()));
        EXPECT_FALSE(state().isMember("bootstrapHash"));
        EXPECT_EQ(state()["failedHandOvers"][bundleSha], 2) << writeCompactJson(state());
        EXPECT_EQ(coreStarts().size(), started);

        auto next = run();
        EXPECT_EQ(next.exitCode, 0) << next.standardError;
        EXPECT_EQ(next.standardOutput.find("Обновление престартера"), std::string::npos);
        EXPECT_NE(log().find("[WARN] self-update.skipped bundle=" + bundleSha + " failedAttempts=2"),
                  std::string::npos);
        EXPECT_EQ(coreStarts().size(), started + 1);
    }
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
    EXPECT_EQ(hashFile(current() / kEntry, "sha256"), bundleProgram());
    EXPECT_EQ(state()["bootstrapHash"].asString(), bundleSha);
    EXPECT_EQ(state()["activeSlot"].asString(), slot);
    for (const auto& [name, kind] : bootstrapFolder()) {
        EXPECT_TRUE(name.starts_with("current")) << name;
    }
}

TEST_F(SelfUpdateTest, AnUnpackedBundleThatNoLongerMatchesItsFileListIsUnpackedAfresh) {
    serveRelease();
    // What a power cut after the rename, or an antivirus, leaves.
    unpackBundle();
    writeFile(unpacked() / kEntry, "");
    auto old = run();
    ASSERT_EQ(old.exitCode, 0) << old.standardError;
    EXPECT_EQ(old.standardOutput, kHandedOver);
    EXPECT_NE(log().find("[WARN] self-update.unpack-set-aside folder="), std::string::npos) << log();
    EXPECT_NE(log().find("self-update.unpacked folder=" + unpacked().string()), std::string::npos) << log();
    ASSERT_TRUE(waitForLog("bootstrap.stage Готово")) << log();
    EXPECT_EQ(hashFile(current() / kEntry, "sha256"), bundleProgram());
    EXPECT_EQ(coreStarts().size(), 1u);
}

// A new side that never installs itself (here a start script, which refuses
// itself as a source) is tried twice; then the release starts without it.
TEST_F(SelfUpdateTest, AHandOverThatFailsTwiceIsSkippedAndTheCoreStarts) {
    const fs::path tree = releaseDir / "script-tree";
    writeFile(tree / kEntry, "#!/bin/sh\necho ran >> '" + (dir / "new-side").string() + "'\nexit 1\n");
    fs::permissions(tree / kEntry, fs::perms::owner_all);
    packBundle(tree);
    serveRelease();
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE(attempt);
        auto old = run();
        ASSERT_EQ(old.exitCode, 0) << old.standardError;
        EXPECT_EQ(old.standardOutput.find("Готово"), std::string::npos);
        EXPECT_EQ(state()["failedHandOvers"][bundleSha], attempt) << writeCompactJson(state());
        for (int i = 0; i < 200 && countOf(fs::exists(dir / "new-side") ? readFile(dir / "new-side") : "", "ran") <
                                        static_cast<std::size_t>(attempt);
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(countOf(readFile(dir / "new-side"), "ran"), static_cast<std::size_t>(attempt));
        EXPECT_TRUE(coreStarts().empty());
    }
    auto third = run();
    ASSERT_EQ(third.exitCode, 0) << third.standardError;
    EXPECT_EQ(third.standardOutput, "Проверка обновлений\nОткрываем ZarvoLauncher\nГотово\n");
    EXPECT_NE(log().find("[WARN] self-update.skipped bundle=" + bundleSha + " failedAttempts=2"), std::string::npos);
    EXPECT_EQ(coreStarts().size(), 1u);
    EXPECT_EQ(countOf(readFile(dir / "new-side"), "ran"), 2u);
}

// A kill between moving "current" aside and moving the new copy in leaves no
// "current"; the next start puts the newest previous one back and runs it.
TEST_F(SelfUpdateTest, AHandOverCutOffBetweenItsRenamesIsRepairedByTheNextStart) {
    serveRelease();
    ASSERT_EQ(run().exitCode, 0);
    ASSERT_TRUE(waitForLog("bootstrap.stage Готово")) << log();
    const fs::path previous = dataDir / "bootstrap/previous-0123456789abcdef0123456789abcdef";
    fs::rename(current(), previous);
    writeFile(dataDir / "bootstrap/candidate-0f/bin/ZarvoLauncher", "half");

    auto repaired = run();
    ASSERT_EQ(repaired.exitCode, 0) << repaired.standardError;
    EXPECT_NE(log().find("[WARN] self-update.restored from=" + previous.string() + " to=" + current().string()),
              std::string::npos)
        << log();
    EXPECT_NE(log().find("bootstrap.forward target=" + (current() / kEntry).string()), std::string::npos) << log();
    EXPECT_EQ(hashFile(current() / kEntry, "sha256"), bundleProgram());
    EXPECT_EQ(coreStarts().size(), 2u);

    // A damaged installed copy is not run: the program started runs the release itself.
    writeFile(current() / "bin/extra", "planted");
    const std::size_t before = log().size();
    auto damaged = run();
    ASSERT_EQ(damaged.exitCode, 0) << damaged.standardError;
    const std::string later = log().substr(before);
    EXPECT_NE(later.find("[WARN] bootstrap.forward-skipped reason="), std::string::npos) << later;
    EXPECT_EQ(later.find("bootstrap.forward target="), std::string::npos) << later;
    EXPECT_EQ(countOf(later, "bootstrap.version "), 1u) << later;
    EXPECT_EQ(coreStarts().size(), 3u);
    // "--no-self-update" runs this program whatever is installed, and so does
    // a run that was itself forwarded to.
    fs::remove(current() / "bin/extra");
    const std::size_t kept = log().size();
    ASSERT_EQ(run({"--no-self-update"}).exitCode, 0);
    ChildOptions forwarded;
    forwarded.environment["ZARVO_FORWARDED"] = "1";
    ASSERT_EQ(run({}, forwarded).exitCode, 0);
    EXPECT_EQ(log().find("bootstrap.forward", kept), std::string::npos);
    EXPECT_EQ(coreStarts().size(), 5u);
}

// The new side works under "bootstrap.lock": a normal run that holds it is
// waited for, and what it wrote to the state stays.
TEST_F(SelfUpdateTest, TheNewSideWaitsForTheUpdateLockAndKeepsWhatANormalRunWrote) {
    dataDir = dir / "portable";
    unpackBundle();
    writeFile(dataDir / "bootstrap-state.json", R"({"failedHandOvers":{")" + bundleSha + R"(":1}})");
    {
        HelperProcess normalRun("hold", dataDir / "bootstrap.lock");
        ASSERT_EQ(normalRun.readLine(), "held");
        auto waiting = std::async(std::launch::async, [&] { return runBundle(selfReplace()); });
        ASSERT_TRUE(waitForLog("self-update.parent-wait pid="));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_FALSE(fs::exists(current()));
        writeFile(dataDir / "bootstrap-state.json", R"({"activeSlot":"s","failedHandOvers":{")" + bundleSha +
                                                         R"(":1},"highestSequence":5})");
        EXPECT_EQ(normalRun.finish(), 0);
        auto result = waiting.get();
        ASSERT_EQ(result.exitCode, 0) << result.standardError;
    }
    EXPECT_EQ(readFile(dataDir / "bootstrap-state.json"),
              R"({"activeSlot":"s","bootstrapHash":")" + bundleSha + R"(","highestSequence":5})");
    EXPECT_EQ(hashFile(current() / kEntry, "sha256"), bundleProgram());
    ASSERT_TRUE(waitForLog(kInstalledCopyRan)) << log();

    // Held longer than the new side waits: it gives up and changes nothing.
    // (The installed copy started above may still be ending with the lock.)
    std::unique_ptr<HelperProcess> normalRun;
    for (int i = 0; i < 100 && !normalRun; ++i) {
        normalRun = std::make_unique<HelperProcess>("hold", dataDir / "bootstrap.lock");
        if (normalRun->readLine() != "held") {
            normalRun.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ASSERT_TRUE(normalRun);
    writeFile(dataDir / "bootstrap-state.json", "{}");
    const auto before = bootstrapFolder();
    auto busy = runBundle(selfReplace());
    EXPECT_EQ(busy.exitCode, 1);
    EXPECT_EQ(busy.standardError, "Обновление уже открыто в другом процессе\n");
    EXPECT_EQ(bootstrapFolder(), before);
    EXPECT_EQ(readFile(dataDir / "bootstrap-state.json"), "{}");
}

}  // namespace
}  // namespace zarvo::test
