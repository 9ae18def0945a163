// "--uninstall" run as the real program against a data folder laid out as
// runs leave it, with the player's menu entry in a private XDG_DATA_HOME.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/user_settings.h"
#include "support/helper_process.h"
#include "support/launcher_run.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kSlot = "0123456789abcdef01234567";

class UninstallTest : public ::testing::Test {
protected:
    // The player's default data folder.
    fs::path xdg() const { return dir / "xdg"; }
    fs::path defaultFolder() const { return xdg() / "ZarvoLauncher"; }
    fs::path entry() const { return xdg() / "applications/zarvo-launcher.desktop"; }

    // What an installed, activated release leaves behind.
    void layOut(const fs::path& data) const {
        writeFile(data / "bootstrap-state.json", R"({"activeSlot":")" + kSlot + R"("})");
        writeFile(data / "bootstrap.lock", "");
        writeFile(data / "logs/bootstrap.log", "[INFO] bootstrap.start platform=linux\n");
        writeFile(data / "slots" / kSlot / "core/bin/core", "core");
        writeFile(data / "slot-locks" / (kSlot + ".lock"), "");
        writeFile(data / "downloads" / std::string(64, 'a'), "archive");
        fs::create_directories(data / "bootstrap/current/bin");
        fs::copy_file(launcherPath(), data / "bootstrap/current/bin/ZarvoLauncher");
    }

    // The menu entry as a hand-over writes it.
    void pointMenuAt(const fs::path& program) const {
        ScopedEnvironment environment({"XDG_DATA_HOME"});
        ScopedEnvironment::set("XDG_DATA_HOME", xdg().string());
        ASSERT_EQ(platform::pointDesktopEntryAt(program), platform::DesktopEntryUpdate::written);
    }

    ChildResult uninstall(const fs::path& data, const fs::path& program = {}) const {
        LauncherRun launcher;
        launcher.allowLoopbackHttp = false;
        launcher.dataDir = data == defaultFolder() ? fs::path() : data;
        launcher.program = program;
        launcher.child.environment["XDG_DATA_HOME"] = xdg().string();
        launcher.child.timeout = std::chrono::seconds(30);
        return launcher.run({"--uninstall"});
    }

    TempDir dir;
};

TEST_F(UninstallTest, RemovesTheFolderAndOnlyTheMenuEntryThatPointsIntoIt) {
    const struct {
        const char* name;
        fs::path data;
        fs::path menuProgram;
        bool fromInstalledCopy;
        bool entryRemoved;
    } cases[] = {
        {"the default folder", defaultFolder(), defaultFolder() / "bootstrap/current/bin/ZarvoLauncher", false, true},
        {"started from the listing", defaultFolder(), defaultFolder() / "bootstrap/current/bin/ZarvoLauncher", true,
         true},
        // A folder whose name begins like the default one's is another copy.
        {"another copy's entry", dir / "xdg/ZarvoLauncher-portable",
         defaultFolder() / "bootstrap/current/bin/ZarvoLauncher", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        layOut(c.data);
        pointMenuAt(c.menuProgram);
        const std::string entryBefore = readFile(entry());
        const ChildResult removed =
            uninstall(c.data, c.fromInstalledCopy ? c.data / "bootstrap/current/bin/ZarvoLauncher" : fs::path());
        EXPECT_EQ(removed.exitCode, 0) << removed.standardError;
        EXPECT_EQ(removed.standardOutput, "ZarvoLauncher удалён: " + c.data.string() + "\n");
        EXPECT_NE(removed.standardError.find("uninstall.removed folder=" + c.data.string() + "\n"), std::string::npos)
            << removed.standardError;
        EXPECT_FALSE(fs::exists(fs::symlink_status(c.data)));
        EXPECT_EQ(fs::exists(entry()), !c.entryRemoved);
        if (!c.entryRemoved) {
            EXPECT_EQ(readFile(entry()), entryBefore);
        }
        fs::remove_all(xdg());
    }
}

TEST_F(UninstallTest, RefusesWhileTheFolderIsInUseOrNotTheProgramsAndRemovesNothing) {
    const fs::path outside = dir / "outside";
    writeFile(outside / "keep.txt", "keep");
    const struct {
        const char* name;
        std::function<std::unique_ptr<HelperProcess>()> arrange;
        std::string message;
    } cases[] = {
        {"a core runs",
         [&] {
             auto core = std::make_unique<HelperProcess>("hold", defaultFolder() / "slot-locks" / (kSlot + ".lock"));
             EXPECT_EQ(core->readLine(), "held");
             return core;
         },
         "Лаунчер запущен из этой папки. Закройте его и повторите удаление.\n"},
        {"an update runs",
         [&] {
             auto update = std::make_unique<HelperProcess>("hold", defaultFolder() / "bootstrap.lock");
             EXPECT_EQ(update->readLine(), "held");
             return update;
         },
         "Обновление уже открыто в другом процессе\n"},
        {"a link inside",
         [&] {
             fs::create_directory_symlink(outside, defaultFolder() / "slots/elsewhere");
             return nullptr;
         },
         "Ссылка в защищённой папке: " + (defaultFolder() / "slots/elsewhere").string() + "\n"},
        {"not a data folder",
         [&] {
             for (const char* name : {"bootstrap-state.json", "bootstrap.lock", "logs"}) {
                 fs::remove_all(defaultFolder() / name);
             }
             return nullptr;
         },
         "В папке нет данных ZarvoLauncher, ничего не удалено: " + defaultFolder().string() + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        layOut(defaultFolder());
        pointMenuAt(defaultFolder() / "bootstrap/current/bin/ZarvoLauncher");
        const std::unique_ptr<HelperProcess> holder = c.arrange();
        const auto before = folderSnapshot(xdg());
        const ChildResult refused = uninstall(defaultFolder());
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.standardError, c.message);
        EXPECT_EQ(refused.standardOutput, "");
        EXPECT_EQ(folderSnapshot(xdg()), before);
        EXPECT_EQ(readFile(outside / "keep.txt"), "keep");
        if (holder) {
            holder->finish();
        }
        fs::remove_all(xdg());
    }
}

}  // namespace
}  // namespace zarvo::test
