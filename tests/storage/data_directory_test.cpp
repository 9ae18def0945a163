// Choice of the data directory from the user's folders, with the environment
// set per test and put back afterwards.
#include "storage/data_directory.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/expect_error.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using zarvo::legacyDataDirectory;
using zarvo::resolveDataDirectory;
using zarvo::roamingDataDirectory;
using zarvo::test::folderSnapshot;
using zarvo::test::readFile;
using zarvo::test::ScopedEnvironment;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

// The variables that name the roaming and the local folder outright.
#ifdef _WIN32
const char* const kRoamingVariable = "APPDATA";
const char* const kLocalVariable = "LOCALAPPDATA";
#else
const char* const kRoamingVariable = "XDG_DATA_HOME";
const char* const kLocalVariable = "XDG_STATE_HOME";
#endif

class DataDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "APPDATA", "LOCALAPPDATA"}) {
            ScopedEnvironment::unset(name);
        }
    }
    static void set(const char* name, const std::string& value) { ScopedEnvironment::set(name, value); }
    // Names and contents of everything below a folder, to show it was left alone.
    static std::map<std::string, std::string> snapshot(const fs::path& folder) { return folderSnapshot(folder); }

    ScopedEnvironment environment_{"HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "APPDATA", "LOCALAPPDATA"};
    TempDir dir_;
};

#ifdef _WIN32
TEST_F(DataDirectoryTest, FoldersComeFromAppDataVariables) {
    EXPECT_ZARVO_ERROR(roamingDataDirectory(), "LOCAL_ERROR", "APPDATA is unavailable");
    EXPECT_ZARVO_ERROR(legacyDataDirectory(), "LOCAL_ERROR", "LOCALAPPDATA is unavailable");
    set("APPDATA", "");
    set("LOCALAPPDATA", (dir_ / "local").string());
    EXPECT_ZARVO_ERROR(resolveDataDirectory(), "LOCAL_ERROR", "APPDATA is unavailable");

    // A relative folder is taken from the working folder, and the answer is absolute.
    fs::path previous = fs::current_path();
    fs::current_path(dir_.path());
    set("APPDATA", "relative");
    EXPECT_EQ(resolveDataDirectory(), dir_.path() / "relative/ZarvoLauncher");
    fs::current_path(previous);
}
#else
TEST_F(DataDirectoryTest, FoldersComeFromXdgVariablesOrHome) {
    set("HOME", (dir_ / "home").string());
    EXPECT_EQ(roamingDataDirectory(), dir_.path() / "home/.local/share/ZarvoLauncher");
    EXPECT_EQ(legacyDataDirectory(), dir_.path() / "home/.local/state/zarvoquorvalith/zarvolauncher");

    set("XDG_DATA_HOME", (dir_ / "data").string());
    set("XDG_STATE_HOME", (dir_ / "state").string());
    EXPECT_EQ(roamingDataDirectory(), dir_.path() / "data/ZarvoLauncher");
    EXPECT_EQ(legacyDataDirectory(), dir_.path() / "state/zarvoquorvalith/zarvolauncher");

    // Empty or relative XDG values are ignored in favour of HOME.
    set("XDG_DATA_HOME", "");
    set("XDG_STATE_HOME", "relative/state");
    EXPECT_EQ(roamingDataDirectory(), dir_.path() / "home/.local/share/ZarvoLauncher");
    EXPECT_EQ(legacyDataDirectory(), dir_.path() / "home/.local/state/zarvoquorvalith/zarvolauncher");
}

TEST_F(DataDirectoryTest, MissingHomeIsAnError) {
    EXPECT_ZARVO_ERROR(roamingDataDirectory(), "LOCAL_ERROR", "HOME is unavailable");
    EXPECT_ZARVO_ERROR(legacyDataDirectory(), "LOCAL_ERROR", "HOME is unavailable");
    set("HOME", "");
    EXPECT_ZARVO_ERROR(resolveDataDirectory(), "LOCAL_ERROR", "HOME is unavailable");

    // The local folder is read even when the roaming one exists and is usable.
    set("XDG_DATA_HOME", (dir_ / "data").string());
    fs::create_directories(dir_ / "data/ZarvoLauncher");
    EXPECT_EQ(roamingDataDirectory(), dir_.path() / "data/ZarvoLauncher");
    EXPECT_ZARVO_ERROR(resolveDataDirectory(), "LOCAL_ERROR", "HOME is unavailable");
    set("XDG_STATE_HOME", (dir_ / "state").string());
    EXPECT_EQ(resolveDataDirectory(), dir_.path() / "data/ZarvoLauncher");
}

#endif

TEST_F(DataDirectoryTest, RoamingFolderIsChosenAndNothingIsCreatedOrMoved) {
    set(kRoamingVariable, (dir_ / "data").string());
    set(kLocalVariable, (dir_ / "state").string());
    const fs::path roaming = dir_.path() / "data/ZarvoLauncher";
    const fs::path legacy = dir_.path() / "state/zarvoquorvalith/zarvolauncher";

    // Neither folder exists.
    EXPECT_EQ(resolveDataDirectory(), roaming);
    EXPECT_FALSE(fs::exists(dir_ / "data"));
    EXPECT_FALSE(fs::exists(dir_ / "state"));

    // Legacy logs alone are no data to move: left in place.
    writeFile(legacy / "logs/bootstrap.log", "{}");
    auto logsOnly = snapshot(legacy);
    EXPECT_EQ(resolveDataDirectory(), roaming);
    EXPECT_EQ(snapshot(legacy), logsOnly);
    EXPECT_FALSE(fs::exists(dir_ / "data"));

    // Settings or state without a roaming folder: the legacy folder moves there.
    for (const char* name : {"settings.json", "bootstrap-state.json"}) {
        fs::remove_all(dir_ / "state");
        fs::remove_all(dir_ / "data");
        writeFile(legacy / name, "{}");
        EXPECT_EQ(resolveDataDirectory(), roaming) << name;
        EXPECT_FALSE(fs::exists(legacy)) << name;
        EXPECT_TRUE(fs::is_regular_file(roaming / name)) << name;
        EXPECT_TRUE(fs::is_regular_file(roaming / "storage-migration.json")) << name;
    }
    fs::remove_all(dir_ / "data");

    // An existing, even empty, roaming folder wins whatever the legacy folder holds.
    writeFile(legacy / "settings.json", "{\"debugMode\":true}");
    writeFile(legacy / "bootstrap-state.json", "{}");
    fs::create_directories(roaming);
    auto before = snapshot(legacy);
    EXPECT_EQ(resolveDataDirectory(), roaming);
    EXPECT_EQ(snapshot(legacy), before);
    EXPECT_TRUE(fs::is_empty(roaming));
}

#ifndef _WIN32
TEST_F(DataDirectoryTest, ResultIsAbsolute) {
    fs::path previous = fs::current_path();
    fs::current_path(dir_.path());
    set("HOME", "relative-home");
    EXPECT_EQ(resolveDataDirectory(), dir_.path() / "relative-home/.local/share/ZarvoLauncher");
    fs::current_path(previous);
}
#endif

}  // namespace
