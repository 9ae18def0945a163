// Moving the legacy data directory, with real folders, real lock holders in a
// second process and the user folders set per test.
#include "storage/storage_migration.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "storage/data_directory.h"
#include "support/launcher_run.h"
#include "support/expect_error.h"
#include "support/helper_process.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using zarvo::migrateStorage;
using zarvo::resolveDataDirectory;
using zarvo::test::HelperProcess;
using zarvo::test::folderSnapshot;
using zarvo::test::readFile;
using zarvo::test::ScopedEnvironment;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

const char* const kBusyLauncher = "Закройте лаунчер перед переносом";

class StorageMigrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ScopedEnvironment::set("HOME", dir_.path().string());
        ScopedEnvironment::set("XDG_DATA_HOME", (dir_ / "data").string());
        ScopedEnvironment::set("XDG_STATE_HOME", (dir_ / "state").string());
    }

    // Names and contents (link targets for links) of everything below a folder.
    static std::map<std::string, std::string> snapshot(const fs::path& folder) { return folderSnapshot(folder); }

    // A legacy folder as an earlier release left it.
    void fillLegacy() {
        writeFile(legacy_ / "bootstrap-state.json",
                  R"({"activeSlot":"0123456789abcdef01234567","bootstrapHash":"abc","highestSequence":7})");
        writeFile(legacy_ / "settings.json", R"({"debugMode":true})");
        writeFile(legacy_ / "logs/bootstrap.log", "old log\n");
        writeFile(legacy_ / "slots/0123456789abcdef01234567/manifest.json", "{}");
        writeFile(legacy_ / "slots/0123456789abcdef01234567/core/core.bin", "core");
        writeFile(legacy_ / "slot-locks/0123456789abcdef01234567.lock", "");
        writeFile(legacy_ / "bootstrap.lock", "");
    }

    ScopedEnvironment environment_{"HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"};
    TempDir dir_;
    const fs::path roaming_ = dir_.path() / "data/ZarvoLauncher";
    const fs::path legacy_ = dir_.path() / "state/zarvoquorvalith/zarvolauncher";
};

TEST_F(StorageMigrationTest, FirstStartMovesTheWholeFolderAndRecordsWhereItCameFrom) {
    fillLegacy();
    auto before = snapshot(legacy_);
    ASSERT_EQ(resolveDataDirectory(), roaming_);
    EXPECT_FALSE(fs::exists(legacy_));
    EXPECT_TRUE(fs::is_directory(dir_ / "state/zarvoquorvalith"));

    auto after = snapshot(roaming_);
    EXPECT_EQ(readFile(roaming_ / "storage-migration.json"), "{\"source\":\"" + legacy_.generic_string() + "\"}");
    EXPECT_EQ(readFile(roaming_ / "bootstrap-state.json"),
              R"({"activeSlot":"0123456789abcdef01234567","bootstrapHash":"","highestSequence":7})");
    // The locks taken for the move were let go with it.
    for (const char* lock : {"bootstrap.lock", "slot-locks/0123456789abcdef01234567.lock"}) {
        HelperProcess other("hold", roaming_ / lock);
        EXPECT_EQ(other.readLine(), "held") << lock;
        EXPECT_EQ(other.finish(), 0);
    }
    after.erase("storage-migration.json");
    after.erase("bootstrap-state.json");
    before.erase("bootstrap-state.json");
    EXPECT_EQ(after, before);

    // Done once: the next start finds the roaming folder and changes nothing.
    auto settled = snapshot(roaming_);
    EXPECT_EQ(resolveDataDirectory(), roaming_);
    EXPECT_EQ(snapshot(roaming_), settled);

    // Settings alone are enough to move.
    fs::remove_all(dir_ / "data");
    writeFile(legacy_ / "settings.json", "{}");
    EXPECT_EQ(resolveDataDirectory(), roaming_);
    EXPECT_EQ(readFile(roaming_ / "settings.json"), "{}");
    EXPECT_FALSE(fs::exists(roaming_ / "bootstrap-state.json"));
}

TEST_F(StorageMigrationTest, NothingMovesWithoutDataOrWhenTheRoamingFolderExists) {
    writeFile(legacy_ / "logs/bootstrap.log", "only logs\n");
    fs::create_directories(legacy_ / "settings.json");  // a folder by that name is no settings file
    auto before = snapshot(legacy_);
    EXPECT_EQ(resolveDataDirectory(), roaming_);
    EXPECT_EQ(snapshot(legacy_), before);
    EXPECT_FALSE(fs::exists(dir_ / "data"));
    EXPECT_ZARVO_ERROR(migrateStorage(legacy_, roaming_), "LOCAL_ERROR",
                       "Исходная папка не содержит данные ZarvoLauncher");

    fs::remove_all(legacy_);
    fillLegacy();
    fs::create_directories(roaming_);
    before = snapshot(legacy_);
    EXPECT_EQ(resolveDataDirectory(), roaming_);
    EXPECT_EQ(snapshot(legacy_), before);
    EXPECT_TRUE(fs::is_empty(roaming_));

    // Called directly against an existing target, even an empty one.
    EXPECT_ZARVO_ERROR(migrateStorage(legacy_, roaming_), "STORAGE_EXISTS",
                       "Новая папка уже существует; данные не были изменены");
    fs::remove(roaming_);
    writeFile(roaming_, "");  // a file by that name counts as well
    EXPECT_ZARVO_ERROR(migrateStorage(legacy_, roaming_), "STORAGE_EXISTS",
                       "Новая папка уже существует; данные не были изменены");
    EXPECT_EQ(readFile(roaming_), "");
    EXPECT_EQ(snapshot(legacy_), before);
    fs::remove(roaming_);

    EXPECT_ZARVO_ERROR(migrateStorage(legacy_, legacy_ / "inner"), "LOCAL_ERROR", "Недопустимые папки переноса");
    EXPECT_ZARVO_ERROR(migrateStorage(legacy_, legacy_ / ".." / "zarvolauncher"), "LOCAL_ERROR",
                       "Недопустимые папки переноса");
    EXPECT_ZARVO_ERROR(migrateStorage(legacy_ / "slots", legacy_), "LOCAL_ERROR", "Недопустимые папки переноса");
    EXPECT_EQ(snapshot(legacy_), before);
}

TEST_F(StorageMigrationTest, FolderInUseByAnotherProcessIsNotMoved) {
    fillLegacy();
    writeFile(legacy_ / "slot-locks/fedcba9876543210fedcba98.lock", "");
    auto before = snapshot(legacy_);
    auto refuses = [&](const char* message) {
        EXPECT_ZARVO_ERROR(resolveDataDirectory(), "STORAGE_MIGRATION_BUSY", message);
        EXPECT_EQ(snapshot(legacy_), before);
        EXPECT_FALSE(fs::exists(dir_ / "data"));
    };
    {
        HelperProcess holder("hold", legacy_ / "bootstrap.lock");
        ASSERT_EQ(holder.readLine(), "held");
        refuses("Закройте престартер перед переносом");
        EXPECT_EQ(holder.finish(), 0);
    }
    {
        // The second of two slot locks; the first one taken must be let go again.
        HelperProcess holder("hold", legacy_ / "slot-locks/fedcba9876543210fedcba98.lock");
        ASSERT_EQ(holder.readLine(), "held");
        refuses(kBusyLauncher);
        EXPECT_EQ(holder.finish(), 0);
    }
    {
        // Locks taken by the refused attempts were released: another process gets them.
        HelperProcess other("hold", legacy_ / "slot-locks/0123456789abcdef01234567.lock");
        EXPECT_EQ(other.readLine(), "held");
        EXPECT_EQ(other.finish(), 0);
        HelperProcess boot("hold", legacy_ / "bootstrap.lock");
        EXPECT_EQ(boot.readLine(), "held");
        EXPECT_EQ(boot.finish(), 0);
    }

    // A profile marker counts without any process behind it.
    writeFile(legacy_ / "profiles/main/profile.lock", "");
    before = snapshot(legacy_);
    refuses("Закройте Minecraft перед переносом");
    fs::remove(legacy_ / "profiles/main/profile.lock");
    writeFile(legacy_ / "profiles/main/options.txt", "x");
    EXPECT_EQ(resolveDataDirectory(), roaming_);
    EXPECT_EQ(readFile(roaming_ / "profiles/main/options.txt"), "x");
}

TEST_F(StorageMigrationTest, LinksAreNeitherFollowedNorResolved) {
    fillLegacy();
    writeFile(dir_ / "outside/secret.txt", "outside");
    fs::create_directory_symlink(dir_ / "outside", legacy_ / "linked");
    EXPECT_EQ(resolveDataDirectory(), roaming_);
    // The link travels as a link; what it points at stays where it was.
    EXPECT_TRUE(fs::is_symlink(roaming_ / "linked"));
    EXPECT_EQ(fs::read_symlink(roaming_ / "linked"), dir_ / "outside");
    EXPECT_EQ(readFile(dir_ / "outside/secret.txt"), "outside");

    // A settings file that is only a link is no data: nothing moves.
    fs::remove_all(dir_ / "data");
    fs::remove_all(dir_ / "state");
    writeFile(dir_ / "outside/settings.json", "{}");
    fs::create_directories(legacy_);
    fs::create_symlink(dir_ / "outside/settings.json", legacy_ / "settings.json");
    EXPECT_EQ(resolveDataDirectory(), roaming_);
    EXPECT_TRUE(fs::is_symlink(legacy_ / "settings.json"));
    EXPECT_FALSE(fs::exists(roaming_));

    // A link on the way to the source or the target is refused before anything changes.
    fs::remove_all(dir_ / "data");
    fs::remove_all(dir_ / "state");
    writeFile(dir_ / "real-state/zarvoquorvalith/zarvolauncher/settings.json", "{}");
    fs::create_directory_symlink(dir_ / "real-state", dir_ / "state");
    auto before = snapshot(dir_ / "real-state");
    try {
        resolveDataDirectory();
        ADD_FAILURE() << "a linked source was moved";
    } catch (const zarvo::Error& error) {
        EXPECT_EQ(error.code(), "GUARD_UNSAFE_PATH");
    }
    EXPECT_EQ(snapshot(dir_ / "real-state"), before);
    EXPECT_FALSE(fs::exists(roaming_));

    // A dangling link in place of the target is refused the same way.
    fs::remove(dir_ / "state");
    fs::rename(dir_ / "real-state", dir_ / "state");
    fs::create_directories(dir_ / "data");
    fs::create_symlink(dir_ / "nowhere", roaming_);
    try {
        migrateStorage(legacy_, roaming_);
        ADD_FAILURE() << "moved onto a link";
    } catch (const zarvo::Error& error) {
        EXPECT_EQ(error.code(), "GUARD_UNSAFE_PATH");
    }
    EXPECT_TRUE(fs::exists(legacy_ / "settings.json"));
    EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
}

TEST_F(StorageMigrationTest, InterruptedMigrationIsFinishedByTheNextStart) {
    // Cut off after the record was written and the hash cleared, before the
    // rename: the old folder is still whole and the next start moves it.
    fillLegacy();
    writeFile(legacy_ / "storage-migration.json", R"({"source":"/stale"})");
    writeFile(legacy_ / "bootstrap-state.json", R"({"bootstrapHash":""})");
    fs::create_directories(dir_ / "data");
    EXPECT_EQ(resolveDataDirectory(), roaming_);
    EXPECT_EQ(readFile(roaming_ / "storage-migration.json"), "{\"source\":\"" + legacy_.generic_string() + "\"}");
    EXPECT_EQ(readFile(roaming_ / "settings.json"), R"({"debugMode":true})");

    // A broken state file stops the move before anything is touched.
    fs::remove_all(dir_ / "data");
    fs::remove_all(dir_ / "state");
    fillLegacy();
    writeFile(legacy_ / "bootstrap-state.json", "{\"bootstrapHash\":\"abc\"");
    auto before = snapshot(legacy_);
    EXPECT_ZARVO_ERROR(resolveDataDirectory(), "INVALID_JSON", "Некорректный JSON");
    EXPECT_EQ(snapshot(legacy_), before);
    EXPECT_FALSE(fs::exists(roaming_));
}

TEST_F(StorageMigrationTest, MovedSettingsTakeEffectInThePreStarter) {
    writeFile(legacy_ / "settings.json", R"({"debugMode":true})");
    writeFile(dir_ / "trust.json", R"({"keyId":"0011223344556677","publicKey":"AAAA","scope":"code"})");
    zarvo::test::ChildOptions options;
    options.environment["HOME"] = dir_.path().string();
    options.environment["XDG_DATA_HOME"] = (dir_ / "data").string();
    options.environment["XDG_STATE_HOME"] = (dir_ / "state").string();
    options.environment["DISPLAY"] = std::nullopt;
    zarvo::test::LauncherRun launcher({}, "http://127.0.0.1:9", dir_ / "trust.json");
    launcher.child = options;
    auto result = launcher.run();
    EXPECT_EQ(result.exitCode, 1) << result.standardError;
    EXPECT_FALSE(fs::exists(legacy_));
    EXPECT_TRUE(fs::exists(roaming_ / "storage-migration.json"));
    // Debug lines are written only in debug mode, which came from the moved settings.
    std::string log = readFile(roaming_ / "logs/bootstrap.log");
    EXPECT_NE(log.find("[DEBUG] http.begin "), std::string::npos) << log;
}

TEST_F(StorageMigrationTest, MoveAcrossFileSystemsIsRefusedWithTheOldFolderWhole) {
    std::string pattern = "/dev/shm/zarvo-migrate-XXXXXX";
    struct stat shm {}, tmp {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(dir_.path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev ||
        ::mkdtemp(pattern.data()) == nullptr) {
        GTEST_SKIP() << "no second file system to move across";
    }
    const fs::path other = pattern;
    ScopedEnvironment::set("XDG_DATA_HOME", other.string());
    fillLegacy();
    auto before = snapshot(legacy_);
    try {
        resolveDataDirectory();
        ADD_FAILURE() << "moved across file systems";
    } catch (const zarvo::Error& error) {
        EXPECT_EQ(error.code(), "STORAGE_MIGRATION_BUSY");
        EXPECT_NE(std::string(error.what()).find("на разных дисках"), std::string::npos) << error.what();
    }
    EXPECT_FALSE(fs::exists(other / "ZarvoLauncher"));
    fs::remove_all(other);
    // Only the record and the cleared hash were written; everything else is as it was.
    auto after = snapshot(legacy_);
    EXPECT_EQ(after.erase("storage-migration.json"), 1u);
    EXPECT_EQ(after["bootstrap-state.json"],
              R"({"activeSlot":"0123456789abcdef01234567","bootstrapHash":"","highestSequence":7})");
    after.erase("bootstrap-state.json");
    before.erase("bootstrap-state.json");
    EXPECT_EQ(after, before);
}

}  // namespace
