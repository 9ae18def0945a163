// The Windows program, cross-built and run under Wine, against a release
// packed for "windows" by the release tool and served by nginx on loopback:
// install, launch, activation, the offline start, the hand-over to a newer
// .exe, and a few refusals the Linux suites prove for the Linux program.
// tools/run-tests-windows runs these with ZARVO_WINDOWS_BUILD set to the
// Windows build folder and WINEPREFIX to its private prefix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "support/child_process.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/test_core.h"
#include "support/release_fixture.h"
#include "support/window_harness.h"
#include "trust/hashing.h"
#include "trust/strict_json.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kInstalled =
    "Проверка обновлений\nЗагрузка приложения\nЗагрузка интерфейса\nОткрываем ZarvoLauncher\nГотово\n";
const std::string kOffline = "Проверка обновлений\nОткрываем сохранённый интерфейс без подключения\n";
// The program's listing among the prefix user's installed programs.
const std::string kUninstallKey = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZarvoLauncher";

fs::path windowsBuild() {
    const char* folder = std::getenv("ZARVO_WINDOWS_BUILD");
    return folder != nullptr ? fs::path(folder) : fs::path();
}

// Wine shows the Linux root as drive Z:.
std::string windowsPath(const fs::path& path) {
    std::string text = "Z:" + fs::absolute(path).string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

// The console's text mode ends Windows lines with CR LF.
std::string lines(std::string output) {
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    return output;
}

std::string listing(const fs::path& folder) {
    std::string names;
    for (const auto& [name, content] : folderSnapshot(folder)) {
        names += name + "\n";
    }
    return names;
}

class WindowsProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (windowsBuild().empty()) {
            GTEST_SKIP() << "the Windows build is tested by tools/run-tests-windows";
        }
        fs::create_directories(inputs.dir / "windows-core/bin");
        fs::copy_file(windowsBuild() / "zarvo-test-core.exe", inputs.dir / "windows-core/bin/core.exe");
        Json::Value script;
        script["record"] = windowsPath(inputs.dir / "core-record");
        writeFile(inputs.dir / "core-script.json", writeCompactJson(script));
    }

    // Packs for Windows into www/ and serves it; withBundle makes the Windows
    // program itself the release's new pre-starter.
    void publish(bool withBundle = false, const std::vector<std::string>& more = {}) {
        std::vector<std::string> extra = {"--platform", "windows", "--core", (inputs.dir / "windows-core").string(),
                                          "--core-entry", "bin/core.exe"};
        extra.insert(extra.end(), more.begin(), more.end());
        if (withBundle) {
            fs::create_directories(inputs.dir / "windows-bundle/bin");
            fs::copy_file(windowsBuild() / "ZarvoLauncher.exe", inputs.dir / "windows-bundle/bin/ZarvoLauncher.exe",
                          fs::copy_options::overwrite_existing);
            extra.insert(extra.end(), {"--bundle", (inputs.dir / "windows-bundle").string(), "--bundle-entry",
                                       "bin/ZarvoLauncher.exe"});
        }
        if (!server) {
            fs::create_directories(www);
            server = std::make_unique<NginxServer>(www);
        }
        ChildResult packed = inputs.pack(server->url(""), www, extra);
        ASSERT_EQ(packed.exitCode, 0) << packed.standardError;
    }

    ChildResult wine(const std::vector<std::string>& arguments, std::chrono::seconds timeout = std::chrono::seconds(120),
                     const char* winePrefix = nullptr) {
        std::vector<std::string> command = {(windowsBuild() / "ZarvoLauncher.exe").string()};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return wineCommand(command, timeout, winePrefix);
    }

    // Any program Wine runs, named by its Linux or Windows path, then its arguments.
    ChildResult wineCommand(const std::vector<std::string>& command,
                            std::chrono::seconds timeout = std::chrono::seconds(120),
                            const char* winePrefix = nullptr) {
        ChildOptions options;
        if (winePrefix != nullptr) {
            options.environment["WINEPREFIX"] = winePrefix;
        }
        options.environment[kTestCoreScriptVariable] = windowsPath(inputs.dir / "core-script.json");
        // One of the variables the core must not inherit.
        options.environment["CLASSPATH"] = "C:\\injected.jar";
        options.environment["WINEDEBUG"] = "-all";
        options.timeout = timeout;
        return runChild("/usr/bin/wine", command, options);
    }

    ChildResult run(std::vector<std::string> extra = {}) {
        const std::string service = server ? server->url("") : "http://127.0.0.1:" + std::to_string(closedPort);
        std::vector<std::string> arguments = {"--headless", "--data-dir", windowsPath(dataDir), "--service-url",
                                              service, "--allow-loopback-http", "--code-trust",
                                              windowsPath(inputs.trust)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return wine(arguments);
    }

    std::string log() const { return readFile(dataDir / "logs/bootstrap.log"); }
    // Until the log shows line (or an error), for up to 90 s: the new
    // pre-starter and its installed copy go on after the old one has ended.
    void awaitLog(const std::string& line) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (std::chrono::steady_clock::now() < deadline && log().find(line) == std::string::npos &&
               log().find("[ERROR]") == std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    // The Wine prefix's APPDATA, under its one user besides "Public"; empty without WINEPREFIX.
    static fs::path prefixAppData() {
        const char* prefix = std::getenv("WINEPREFIX");
        fs::path appData;
        if (prefix == nullptr) {
            return appData;
        }
        for (const auto& user : fs::directory_iterator(fs::path(prefix) / "drive_c/users")) {
            if (user.path().filename() != "Public" && fs::is_directory(user.path() / "AppData/Roaming")) {
                appData = user.path() / "AppData/Roaming";
            }
        }
        return appData;
    }

    // The data folder becomes the user's default one in the prefix, emptied
    // with its shortcut; returns where that shortcut goes, or nothing outside a prefix.
    fs::path useDefaultDataFolder() {
        const fs::path appData = prefixAppData();
        if (appData.empty()) {
            return {};
        }
        dataDir = appData / "ZarvoLauncher";
        fs::remove_all(dataDir);
        const fs::path shortcut = appData / "Microsoft/Windows/Start Menu/Programs/Zarvo Launcher.lnk";
        fs::remove(shortcut);
        return shortcut;
    }
    Json::Value state() const { return parseStrictJson(readFile(dataDir / "bootstrap-state.json")); }
    std::vector<Json::Value> coreStarts() const {
        return fs::exists(inputs.dir / "core-record") ? readCoreRecords(inputs.dir / "core-record")
                                                      : std::vector<Json::Value>();
    }

    ReleaseInputs inputs;
    fs::path www = inputs.dir / "www";
    fs::path dataDir = inputs.dir / "data";
    std::unique_ptr<NginxServer> server;
    int closedPort = freeLoopbackPort();
};

TEST_F(WindowsProgramTest, InstallsLaunchesActivatesAndThenStartsOffline) {
    publish();
    ChildResult installed = run();
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError << log();
    EXPECT_EQ(lines(installed.standardOutput), kInstalled);
    EXPECT_NE(log().find("bootstrap.start platform=windows"), std::string::npos) << log();
    EXPECT_NE(log().find("[INFO] bootstrap.first-frame confirmed\n"), std::string::npos) << log();
    const std::string slot = state()["activeSlot"].asString();
    ASSERT_FALSE(slot.empty());
    const fs::path core = dataDir / "slots" / slot / "core/bin/core.exe";
    EXPECT_EQ(hashFile(core, "sha256"), hashFile(windowsBuild() / "zarvo-test-core.exe", "sha256"));

    // The core was started from its slot with the receipt, without the scrubbed variable.
    auto started = coreStarts();
    ASSERT_EQ(started.size(), 1u);
    const Json::Value& argv = started[0]["argv"];
    ASSERT_GE(argv.size(), 5u);
    EXPECT_NE(argv[0].asString().find(slot), std::string::npos) << argv[0].asString();
    EXPECT_TRUE(argv[0].asString().ends_with("core.exe")) << argv[0].asString();
    EXPECT_TRUE(argv[4].asString().ends_with("manifest.json")) << argv[4].asString();
    EXPECT_FALSE(started[0]["env"].isMember("CLASSPATH"));

    // A changed core file with the service there: the slot is rebuilt from the release.
    const auto tamper = [&] {
        std::ofstream append(core, std::ios::binary | std::ios::app);
        append << "tampered";
    };
    tamper();
    ChildResult repaired = run();
    EXPECT_EQ(repaired.exitCode, 0) << repaired.standardError << log();
    EXPECT_NE(log().find("[WARN] install.repair slot=" + slot + " files=bin/core.exe\n"), std::string::npos) << log();
    EXPECT_EQ(hashFile(core, "sha256"), hashFile(windowsBuild() / "zarvo-test-core.exe", "sha256"));
    EXPECT_EQ(coreStarts().size(), 2u);

    // No service: the installed release starts as it is.
    server.reset();
    ChildResult offline = run();
    EXPECT_EQ(offline.exitCode, 0) << offline.standardError;
    EXPECT_EQ(lines(offline.standardOutput), kOffline);
    EXPECT_EQ(coreStarts().size(), 3u);

    // Without the service a changed core file is found before anything starts.
    tamper();
    ChildResult tampered = run();
    EXPECT_EQ(tampered.exitCode, 1);
    EXPECT_NE(tampered.standardError.find("Файлы приложения изменены: bin/core.exe"), std::string::npos)
        << tampered.standardError;
    EXPECT_EQ(coreStarts().size(), 3u);
    EXPECT_EQ(state()["activeSlot"].asString(), slot);
}

TEST_F(WindowsProgramTest, AnUnchangedCoreIsCarriedIntoTheNextRelease) {
    publish();
    ASSERT_EQ(run().exitCode, 0) << log();
    const std::string first = state()["activeSlot"].asString();
    // The same core under another version of the release: a new slot, whose
    // core is linked from the active one while that one is held verified.
    publish(false, {"--core-version", "9.9.9"});
    ChildResult next = run();
    ASSERT_EQ(next.exitCode, 0) << next.standardError << log();
    const std::string second = state()["activeSlot"].asString();
    EXPECT_NE(second, first);
    EXPECT_EQ(countOf(log(), "[INFO] storage.core-reused slot=" + first), 1u) << log();
    EXPECT_EQ(log().find("storage.core-reuse-failed"), std::string::npos) << log();
    EXPECT_EQ(hashFile(dataDir / "slots" / second / "core/bin/core.exe", "sha256"),
              hashFile(windowsBuild() / "zarvo-test-core.exe", "sha256"));
    EXPECT_EQ(coreStarts().size(), 2u);
}

// A changed file of the core is fetched as its one member; the rest is carried.
TEST_F(WindowsProgramTest, UpdatesAChangedCoreFileByItsRange) {
    for (int i = 0; i < 20; ++i) {
        writeFile(inputs.dir / ("windows-core/data/part-" + std::to_string(i) + ".bin"), std::string(3000 + i, 'w'));
    }
    publish();
    ASSERT_EQ(run().exitCode, 0) << log();
    const std::string first = state()["activeSlot"].asString();

    writeFile(inputs.dir / "windows-core/data/part-4.bin", "changed");
    publish();
    const Json::Value core = parseStrictJson(readFile(www / "manifests/windows.json"))["components"]["core"];
    ChildResult updated = run();
    ASSERT_EQ(updated.exitCode, 0) << updated.standardError << log();
    EXPECT_NE(log().find("[INFO] install.delta files=" + std::to_string(core["files"].size()) + " carried=" +
                         std::to_string(core["files"].size() - 1) + " fetched=1 requests=1 bytes=" +
                         core["fileRanges"]["data/part-4.bin"][1].asString()),
              std::string::npos)
        << log();
    const std::string second = state()["activeSlot"].asString();
    ASSERT_NE(second, first);
    EXPECT_EQ(readFile(dataDir / "slots" / second / "core/data/part-4.bin"), "changed");
    EXPECT_EQ(hashFile(dataDir / "slots" / second / "core/bin/core.exe", "sha256"),
              hashFile(windowsBuild() / "zarvo-test-core.exe", "sha256"));
    EXPECT_EQ(coreStarts().size(), 2u);
}

TEST_F(WindowsProgramTest, RefusesWhatTheLinuxProgramRefusesAndInstallsNothing) {
    publish();
    // An archive the release tool would never pack, signed all the same.
    auto servedArchive = [&](const std::string& entry) {
        const fs::path archive = www / "files" / ("evil-" + hashBytes(entry, "sha256") + ".tar.gz");
        ChildResult made = runChild("/usr/bin/python3",
                                    {"-c",
                                     "import io, sys, tarfile\n"
                                     "with tarfile.open(sys.argv[1], 'w:gz') as t:\n"
                                     "    i = tarfile.TarInfo(sys.argv[2]); i.size = 1\n"
                                     "    t.addfile(i, io.BytesIO(b'x'))\n",
                                     archive.string(), entry});
        EXPECT_EQ(made.exitCode, 0) << made.standardError;
        Json::Value payload = parseStrictJson(readFile(www / "manifests/windows.json"));
        Json::Value& core = payload["components"]["core"];
        core["url"] = server->url("/files/" + archive.filename().string());
        core["sha256"] = hashFile(archive, "sha256");
        core["size"] = Json::UInt64(fs::file_size(archive));
        payload["sequence"] = payload["sequence"].asInt64() + 1;
        writeFile(inputs.dir / "payload.json", writeCompactJson(payload));
        ChildResult signedAnswer = runReleaseTool({"sign", "--secret-key", inputs.secretKey.string(), "--payload",
                                                  (inputs.dir / "payload.json").string(), "--out",
                                                  (www / "api/v1/bootstrap/windows.json").string()});
        EXPECT_EQ(signedAnswer.exitCode, 0) << signedAnswer.standardError;
    };
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> extra;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"another key's trust",
         [&] {
             runReleaseTool({"keygen", "--secret-key", (inputs.keys / "other-key.json").string(), "--trust",
                             (inputs.dir / "other-trust.json").string()});
         },
         {"--code-trust", windowsPath(inputs.dir / "other-trust.json")},
         "Подпись обновления не прошла проверку"},
        {"entry above the slot", [&] { servedArchive("../escape.txt"); }, {}, "Опасный путь в архиве"},
        {"a device name", [&] { servedArchive("bin/aux.txt"); }, {}, "Опасный путь в архиве"},
    };
    for (const Case& refusal : cases) {
        SCOPED_TRACE(refusal.name);
        fs::remove_all(dataDir);
        refusal.arrange();
        ChildResult refused = run(refusal.extra);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_NE(refused.standardError.find(refusal.message), std::string::npos) << refused.standardError;
        EXPECT_FALSE(fs::exists(dataDir / "bootstrap-state.json") && state().isMember("activeSlot"));
        // No slot is made, and what the run built of it is gone, as on Linux.
        if (fs::exists(dataDir / "slots")) {
            EXPECT_EQ(listing(dataDir / "slots"), "");
        }
        EXPECT_FALSE(fs::exists(inputs.dir / "escape.txt") || fs::exists(dataDir / "escape.txt"));
        EXPECT_EQ(coreStarts().size(), 0u);
    }
}

TEST_F(WindowsProgramTest, HandsOverToTheNewExeWhichInstallsItselfAndStartsTheCore) {
    publish(true);
    ChildResult old = run();
    ASSERT_EQ(old.exitCode, 0) << old.standardError << log();
    EXPECT_NE(log().find("self-update.handover"), std::string::npos) << log();

    awaitLog("bootstrap.first-frame confirmed");
    EXPECT_NE(log().find("self-update.installed"), std::string::npos) << log();
    EXPECT_NE(log().find("[INFO] bootstrap.first-frame confirmed"), std::string::npos) << log();
    EXPECT_EQ(log().find("[ERROR]"), std::string::npos) << log();
    EXPECT_EQ(hashFile(dataDir / "bootstrap/current/bin/ZarvoLauncher.exe", "sha256"),
              hashFile(windowsBuild() / "ZarvoLauncher.exe", "sha256"));
    EXPECT_FALSE(state()["bootstrapHash"].asString().empty());
    EXPECT_EQ(coreStarts().size(), 1u);

    // The installed copy finds its own bundle installed: no second hand-over.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::size_t handovers = log().find("self-update.handover");
    ChildResult again = wine({"--headless", "--data-dir", windowsPath(dataDir), "--service-url", server->url(""),
                              "--allow-loopback-http", "--code-trust", windowsPath(inputs.trust)});
    EXPECT_EQ(again.exitCode, 0) << again.standardError;
    EXPECT_EQ(log().rfind("self-update.handover"), handovers);
    EXPECT_EQ(coreStarts().size(), 2u);
}

// Into the user's default data folder (APPDATA's in the Wine prefix): the
// hand-over also writes the Start menu's shortcut to the installed copy, and
// the program started the usual way afterwards runs that copy.
TEST_F(WindowsProgramTest, HandsOverIntoTheDefaultFolderWithAShortcutAndThenRunsTheInstalledCopy) {
    if (std::getenv("WINEPREFIX") == nullptr) {
        GTEST_SKIP() << "needs WINEPREFIX to find the prefix's APPDATA";
    }
    const fs::path shortcut = useDefaultDataFolder();
    ASSERT_FALSE(shortcut.empty());
    publish(true);
    const std::vector<std::string> usual = {"--headless", "--service-url", server->url(""), "--allow-loopback-http",
                                            "--code-trust", windowsPath(inputs.trust)};
    ChildResult old = wine(usual);
    ASSERT_EQ(old.exitCode, 0) << old.standardError << log();
    awaitLog("bootstrap.first-frame confirmed");
    EXPECT_NE(log().find("self-update.desktop-entry result=written"), std::string::npos) << log();
    ASSERT_TRUE(fs::is_regular_file(shortcut)) << log();
    // A shell link's header: its size (76) as a little-endian number.
    EXPECT_EQ(readFile(shortcut).substr(0, 4), std::string("L\0\0\0", 4));
    EXPECT_EQ(coreStarts().size(), 1u);

    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::size_t before = log().size();
    ChildResult again = wine(usual);
    EXPECT_EQ(again.exitCode, 0) << again.standardError << log();
    const std::string later = log().substr(before);
    EXPECT_NE(later.find("[INFO] bootstrap.forward target="), std::string::npos) << later;
    EXPECT_NE(later.find("bootstrap.forward-ended code=0"), std::string::npos) << later;
    EXPECT_EQ(later.find("self-update.handover"), std::string::npos) << later;
    EXPECT_EQ(coreStarts().size(), 2u);
    fs::remove_all(dataDir);
    fs::remove(shortcut);
    wineCommand({"reg", "delete", kUninstallKey, "/f"});
}

// The same checks as the Linux preview's: the native region is rounded, and
// the pixels are the window's (Windows draws text with its own typeface
// renderer, so only plain areas are compared).
TEST_F(WindowsProgramTest, ThePreviewWindowIsRoundedAndDrawnAsOnLinux) {
    const char* displayPrefix = std::getenv("ZARVO_WINE_DISPLAY_PREFIX");
    if (displayPrefix == nullptr || std::getenv("DISPLAY") == nullptr) {
        GTEST_SKIP() << "needs a display and a Wine prefix with its display driver (ZARVO_WINE_DISPLAY_PREFIX)";
    }
    const fs::path shot = windowsBuild() / "window-preview.bmp";
    fs::remove(shot);
    ChildResult shown =
        wine({"--preview", "--screenshot", windowsPath(shot), "--data-dir", windowsPath(dataDir)},
             std::chrono::seconds(120), displayPrefix);
    ASSERT_EQ(shown.exitCode, 0) << shown.standardError << log();
    EXPECT_NE(log().find("[INFO] bootstrap.preview native rounded region verified"), std::string::npos) << log();
    const Bmp image(readFile(shot));
    ASSERT_EQ(image.width(), 580);
    ASSERT_EQ(image.height(), 330);
    ASSERT_EQ(image.bitsPerPixel(), 24);
    EXPECT_EQ(image.at(300, 140), Rgb::of(0x15191F00));
    EXPECT_EQ(image.at(290, 0), Rgb::of(0x35415300));
    const int fill = image.runLength(34, 248, Rgb::of(0x6289E400));
    EXPECT_GT(fill, 100);
    EXPECT_LE(fill, 328);
    EXPECT_GT(image.countBright(494, 170, 52, 28), 20) << "the percentage";
}

// A default Windows takes paths beyond MAX_PATH only in the extended form; a
// core file whose full path passes 300 characters installs, verifies and
// launches. (Wine takes long paths in every form, so here this guards the
// deep install's road rather than the form itself.)
TEST_F(WindowsProgramTest, ACoreFileBeyondTheOldPathLimitInstallsVerifiesAndLaunches) {
    std::string deep = "data";
    while (deep.size() < 190) {
        deep += "/a-folder-deep-inside-the-core";
    }
    deep += "/deep.txt";
    writeFile(inputs.dir / "windows-core" / deep, "deep");
    dataDir = inputs.dir / "a-data-folder-whose-own-path-takes-the-slot-files-further";
    publish();
    ChildResult installed = run();
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError << log();
    EXPECT_EQ(lines(installed.standardOutput), kInstalled);
    const fs::path file = dataDir / "slots" / state()["activeSlot"].asString() / "core" / deep;
    EXPECT_GT(windowsPath(file).size(), 300u);
    EXPECT_EQ(readFile(file), "deep");

    // Without the service every file is verified before the core starts again.
    server.reset();
    ChildResult offline = run();
    EXPECT_EQ(offline.exitCode, 0) << offline.standardError << log();
    EXPECT_EQ(lines(offline.standardOutput), kOffline);
    EXPECT_EQ(coreStarts().size(), 2u);
}

// The hand-over into the default folder lists the program among the user's
// installed programs; the listing's own command removes the folder, the
// shortcut and the listing, run by the installed copy from inside the folder.
TEST_F(WindowsProgramTest, ListedAmongInstalledProgramsAndRemovedByTheListedCommand) {
    if (std::getenv("WINEPREFIX") == nullptr) {
        GTEST_SKIP() << "needs WINEPREFIX to find the prefix's APPDATA";
    }
    const fs::path shortcut = useDefaultDataFolder();
    ASSERT_FALSE(shortcut.empty());
    wineCommand({"reg", "delete", kUninstallKey, "/f"});
    publish(true);
    ChildResult old = wine({"--headless", "--service-url", server->url(""), "--allow-loopback-http", "--code-trust",
                            windowsPath(inputs.trust)});
    ASSERT_EQ(old.exitCode, 0) << old.standardError << log();
    awaitLog("bootstrap.stage Готово");
    ASSERT_NE(log().find("[INFO] self-update.uninstall-entry result=written"), std::string::npos) << log();
    // The installed copy releases the update lock as it ends.
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const std::string listed = lines(wineCommand({"reg", "query", kUninstallKey}).standardOutput);
    const auto value = [&](const std::string& name) {
        const std::size_t at = listed.find("    " + name + "    ");
        const std::size_t end = listed.find('\n', at);
        return at == std::string::npos ? std::string() : listed.substr(at + name.size() + 8, end - at - name.size() - 8);
    };
    const std::size_t versionAt = log().find("bootstrap.version ") + 18;
    const std::string version = log().substr(versionAt, log().find('\n', versionAt) - versionAt);
    const std::string installed = "\\ZarvoLauncher\\bootstrap\\current\\bin\\ZarvoLauncher.exe";
    EXPECT_EQ(value("DisplayName"), "REG_SZ    Zarvo Launcher") << listed;
    EXPECT_EQ(value("DisplayVersion"), "REG_SZ    " + version) << listed;
    EXPECT_EQ(value("Publisher"), "REG_SZ    Zarvo") << listed;
    EXPECT_TRUE(value("InstallLocation").ends_with("\\AppData\\Roaming\\ZarvoLauncher")) << listed;
    EXPECT_TRUE(value("DisplayIcon").ends_with(installed + ",0")) << listed;
    EXPECT_TRUE(value("UninstallString").ends_with(installed + "\" --uninstall")) << listed;
    EXPECT_EQ(value("NoModify"), "REG_DWORD    0x1") << listed;
    EXPECT_EQ(value("NoRepair"), "REG_DWORD    0x1") << listed;

    // The quiet form of the listed command: the installed copy, then its options.
    const std::string quiet = value("QuietUninstallString");
    const std::size_t open = quiet.find('"');
    const std::size_t close = quiet.find('"', open + 1);
    ASSERT_EQ(quiet.substr(close + 1), " --uninstall --headless") << listed;
    ChildResult removed = wineCommand({quiet.substr(open + 1, close - open - 1), "--uninstall", "--headless"});
    EXPECT_EQ(removed.exitCode, 0) << removed.standardError;
    EXPECT_NE(lines(removed.standardOutput).find("ZarvoLauncher удалён: "), std::string::npos) << removed.standardOutput;
    // The running copy was moved to the temporary folder (as C:/… in the prefix), where it stays.
    const std::string notes = lines(removed.standardError);
    const std::size_t movedAt = notes.find("uninstall.program-moved from=");
    ASSERT_NE(movedAt, std::string::npos) << notes;
    const std::size_t toAt = notes.find(" to=C:/", movedAt) + 7;
    const fs::path moved =
        fs::path(std::getenv("WINEPREFIX")) / "drive_c" / notes.substr(toAt, notes.find('\n', toAt) - toAt);
    EXPECT_EQ(hashFile(moved, "sha256"), hashFile(windowsBuild() / "ZarvoLauncher.exe", "sha256"));
    fs::remove(moved);
    EXPECT_FALSE(fs::exists(dataDir));
    EXPECT_FALSE(fs::exists(shortcut));
    EXPECT_NE(wineCommand({"reg", "query", kUninstallKey}).exitCode, 0);
}

}  // namespace
}  // namespace zarvo::test
