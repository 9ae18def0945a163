// A player with a working version keeps playing: a damaged core is rebuilt
// from the release the service vouches for, a release that cannot be
// installed leaves the installed version to start, and a partial download
// survives a start without the service.
#include <functional>

#include "support/release_service.h"
#include "support/server_process.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kOfflineStage = "Открываем сохранённый интерфейс без подключения";

// A file as deep as a core may hold one: inside a slot its path passes what
// Windows takes in the plain form.
const std::string kDeepFile = [] {
    std::string name = "data";
    while (name.size() < 200) {
        name += "/a-folder-deep-inside-the-core";
    }
    return name + "/deep.txt";
}();

class KeepPlayingTest : public ReleaseServiceTest {
protected:
    // A release whose core holds three data files beside the program, one deep.
    Json::Value releaseManifest(long long sequence, const std::string& data = "notes\n") {
        Json::Value manifest = compatibleManifest(sequence);
        publishRelease(manifest, releaseDir.path(), files.url(""), "ui.rcc", "ui package");
        publishCore(manifest, "core-" + std::to_string(sequence),
                    {{"config/settings.txt", "volume=3\n"}, {"data/notes.txt", data}, {kDeepFile, "deep\n"}});
        return manifest;
    }

    std::string install(const Json::Value& manifest) {
        const std::string slot = serve(manifest);
        auto installed = run();
        EXPECT_EQ(installed.exitCode, 0) << installed.standardError;
        return slot;
    }

    // A run while the service cannot be reached.
    ChildResult runOffline() {
        LauncherRun launcher(dataDir(), "http://127.0.0.1:" + std::to_string(freeLoopbackPort()), dir / "trust.json");
        launcher.coreScript = dir / "core-script.json";
        return launcher.run();
    }

    // Folders of the slots folder whose names contain part.
    std::size_t slotFoldersNamed(const std::string& part) {
        std::size_t count = 0;
        for (const auto& entry : fs::directory_iterator(dataDir() / "slots")) {
            count += entry.path().filename().string().find(part) != std::string::npos ? 1 : 0;
        }
        return count;
    }
};

TEST_F(KeepPlayingTest, ADamagedCoreIsRebuiltOnlineAndRefusedOffline) {
    const Json::Value manifest = releaseManifest(1);
    const std::string first = install(manifest);
    // The same core in a second release: its files are hard links into the first slot.
    Json::Value second = manifest;
    second["sequence"] = 2;
    second["components"]["ui"]["version"] = "2.0.1";
    const std::string slot = install(second);
    const fs::path core = slotFolder(slot) / "core";
    ASSERT_TRUE(fs::equivalent(core / "config/settings.txt", slotFolder(first) / "core/config/settings.txt"));

    const struct {
        const char* name;
        std::function<void()> damage;
        std::string offlineError;
    } cases[] = {
        {"config/settings.txt", [&] { writeFile(core / "config/settings.txt", "volume=11\n"); },
         "Файлы приложения изменены: config/settings.txt\n"},
        {"data/notes.txt", [&] { fs::remove(core / "data/notes.txt"); },
         "Файлы приложения повреждены: data/notes.txt\n"},
        {"data/extra.dll", [&] { writeFile(core / "data/extra.dll", "injected"); },
         "Посторонний файл приложения: data/extra.dll\n"},
        {kDeepFile.c_str(), [&] { writeFile(core / kDeepFile, "shallow\n"); },
         "Файлы приложения изменены: " + kDeepFile + "\n"},
    };
    std::size_t starts = coreStarts();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.damage();
        // Nothing fresh vouches for the files without the service.
        auto offline = runOffline();
        EXPECT_EQ(offline.exitCode, 1);
        EXPECT_EQ(offline.standardError, c.offlineError);
        EXPECT_EQ(coreStarts(), starts);

        auto repaired = run();
        EXPECT_EQ(repaired.exitCode, 0) << repaired.standardError;
        EXPECT_EQ(coreStarts(), ++starts);
        EXPECT_EQ(countOf(log(), "[WARN] install.repair slot=" + slot + " files=" + c.name + "\n"), 1u) << log();
        for (const std::string& name : manifest["components"]["core"]["files"].getMemberNames()) {
            EXPECT_EQ(hashFile(core / name, "sha256"), manifest["components"]["core"]["files"][name].asString())
                << name;
        }
        EXPECT_FALSE(fs::exists(core / "data/extra.dll"));
        // The damaged folder set aside is gone with the cleanup, and no stage is left.
        EXPECT_EQ(slotFoldersNamed("-"), 0u);
        EXPECT_EQ(state()["activeSlot"].asString(), slot);
    }
    // The repair wrote a new file and never through the link: the first slot
    // keeps what the damage left in it.
    EXPECT_FALSE(fs::equivalent(core / "config/settings.txt", slotFolder(first) / "core/config/settings.txt"));
    EXPECT_EQ(readFile(slotFolder(first) / "core/config/settings.txt"), "volume=11\n");
}

TEST_F(KeepPlayingTest, AReleaseThatCannotBeInstalledStartsTheInstalledVersion) {
    const std::string installed = install(releaseManifest(1));
    const struct {
        const char* name;
        std::function<void(Json::Value&)> breakRelease;
        std::string code;
        std::string message;
    } cases[] = {
        {"missing file", [&](Json::Value& m) { m["components"]["core"]["url"] = files.url("/missing.tar.gz"); },
         "DOWNLOAD_FAILED", "Файл недоступен: HTTP 404"},
        {"wrong digest", [&](Json::Value& m) { m["components"]["core"]["sha256"] = std::string(64, 'b'); },
         "HASH_MISMATCH", "Контрольная сумма загрузки не совпала"},
        {"no archive",
         [&](Json::Value& m) {
             m["components"]["core"]["url"] = m["components"]["ui"]["url"];
             m["components"]["core"]["sha256"] = m["components"]["ui"]["sha256"];
         },
         "LOCAL_ERROR", "Не удалось открыть архив"},
    };
    long long sequence = 2;
    std::size_t starts = coreStarts();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value manifest = releaseManifest(sequence++, std::string("notes ") + c.name);
        c.breakRelease(manifest);
        const std::string slot = serve(manifest);
        auto fellBack = run();
        EXPECT_EQ(fellBack.exitCode, 0) << fellBack.standardError;
        EXPECT_EQ(fellBack.standardError, "");
        EXPECT_EQ(fellBack.standardOutput, "Проверка обновлений\nЗагрузка приложения\n" + kOfflineStage + "\n");
        EXPECT_EQ(coreStarts(), ++starts);
        EXPECT_EQ(countOf(log(), "[WARN] install.failed slot=" + slot + " code=" + c.code + " message=" + c.message),
                  1u)
            << log();
        EXPECT_EQ(state()["activeSlot"].asString(), installed);
        EXPECT_EQ(state()["highestSequence"].asInt64(), sequence - 1);
        // What this run built of the new slot is gone.
        EXPECT_EQ(slotFoldersNamed(slot), 0u);
    }
    // With no installed version the install's own error reaches the player.
    fs::remove(dataDir() / "bootstrap-state.json");
    auto alone = run();
    EXPECT_EQ(alone.exitCode, 1);
    EXPECT_EQ(alone.standardError, "Не удалось открыть архив\n");
    EXPECT_EQ(coreStarts(), starts);
}

TEST_F(KeepPlayingTest, APartialDownloadSurvivesAStartWithoutTheServiceAndIsResumed) {
    const std::string installed = install(releaseManifest(1));
    // A core large enough to be cut, served by a server that drops the first transfer.
    std::string bulk;
    for (int i = 0; bulk.size() < 400000; ++i) {
        bulk += hashBytes(std::to_string(i), "sha256");
    }
    Json::Value manifest = releaseManifest(2, bulk);
    const fs::path archive = releaseDir / "core-2.tar.gz";
    const std::string digest = manifest["components"]["core"]["sha256"].asString();
    manifest["components"]["core"]["url"] = server.url("/core-2.tar.gz");
    Json::Value cut;
    cut["bodyFile"] = archive.string();
    cut["range"] = true;
    cut["cutAfter"] = 65536;
    Json::Value whole;
    whole["bodyFile"] = archive.string();
    whole["range"] = true;
    server.answer("/core-2.tar.gz", {cut, whole});
    const std::string slot = serve(manifest);
    const fs::path partial = dataDir() / "downloads" / (digest + ".part");

    auto interrupted = run();
    EXPECT_EQ(interrupted.exitCode, 0) << interrupted.standardError;
    EXPECT_NE(log().find("[WARN] install.failed slot=" + slot + " code=DOWNLOAD_FAILED"), std::string::npos);
    ASSERT_TRUE(fs::exists(partial));
    EXPECT_EQ(fs::file_size(partial), 65536u);

    // The cleanup after a start without the service keeps it.
    auto offline = runOffline();
    EXPECT_EQ(offline.exitCode, 0) << offline.standardError;
    ASSERT_TRUE(fs::exists(partial));
    EXPECT_EQ(fs::file_size(partial), 65536u);

    auto resumed = run();
    ASSERT_EQ(resumed.exitCode, 0) << resumed.standardError;
    const auto requests = server.requestsFor("/core-2.tar.gz");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[0].header("Range").has_value());
    EXPECT_EQ(requests[1].header("Range").value_or(""), "bytes=65536-");
    EXPECT_EQ(state()["activeSlot"].asString(), slot);
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_EQ(coreStarts(), 4u);
}

}  // namespace
}  // namespace zarvo::test
