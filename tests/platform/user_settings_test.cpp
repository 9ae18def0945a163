// What the system says about the user: the per-user folders and what is
// raised without them, the character type, the animation switch, and the
// user's menu entry.
#include "platform/user_settings.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "platform_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace zarvo::platform;
using zarvo::test::ScopedVariable;
using zarvo::test::TempDir;

struct FolderCase {
    std::vector<std::pair<std::string, std::optional<std::string>>> environment;
    fs::path (*folder)();
    std::string expected;  // the folder in UTF-8, or the missing variable after "missing "
};

TEST(UserFolders, ComeFromTheEnvironmentOrNameWhatIsMissing) {
    const std::vector<FolderCase> cases = {
#ifdef _WIN32
        {{{"APPDATA", "C:\\Users\\Тест\\AppData\\Roaming"}}, roamingAppDataFolder, "C:\\Users\\Тест\\AppData\\Roaming"},
        {{{"LOCALAPPDATA", "C:\\Users\\Тест\\AppData\\Local"}}, localAppDataFolder, "C:\\Users\\Тест\\AppData\\Local"},
        {{{"APPDATA", std::nullopt}}, roamingAppDataFolder, "missing APPDATA"},
        {{{"APPDATA", ""}}, roamingAppDataFolder, "missing APPDATA"},
        {{{"APPDATA", "C:\\x"}, {"LOCALAPPDATA", std::nullopt}}, localAppDataFolder, "missing LOCALAPPDATA"},
#else
        {{{"XDG_DATA_HOME", "/data/home"}, {"HOME", "/home/тест"}}, roamingAppDataFolder, "/data/home"},
        {{{"XDG_DATA_HOME", "relative"}, {"HOME", "/home/тест"}}, roamingAppDataFolder, "/home/тест/.local/share"},
        {{{"XDG_STATE_HOME", std::nullopt}, {"HOME", "/home/тест"}}, localAppDataFolder, "/home/тест/.local/state"},
        {{{"XDG_DATA_HOME", std::nullopt}, {"HOME", std::nullopt}}, roamingAppDataFolder, "missing HOME"},
        {{{"XDG_STATE_HOME", ""}, {"HOME", ""}}, localAppDataFolder, "missing HOME"},
#endif
    };
    for (const FolderCase& c : cases) {
        std::vector<std::unique_ptr<ScopedVariable>> variables;
        for (const auto& [name, value] : c.environment) {
            variables.push_back(std::make_unique<ScopedVariable>(name, value));
        }
        try {
            EXPECT_EQ(pathToUtf8(c.folder()), c.expected);
        } catch (const UserFolderUnavailable& missing) {
            EXPECT_EQ("missing " + missing.variable(), c.expected);
            EXPECT_EQ(std::string(missing.what()), missing.variable() + " is unavailable");
        }
    }
}

TEST(CharacterType, Utf8ExactlyWhenMultibyteTextConvertsAsUtf8) {
    const bool utf8 = useUtf8CharacterType();
    wchar_t wide[8] = {};
    // One character in UTF-8, two in any single-byte character type.
    EXPECT_EQ(std::mbstowcs(wide, "\xD1\x8F", 8) == 1, utf8);
#ifndef _WIN32
    EXPECT_TRUE(utf8);  // Debian always has C.UTF-8
#endif
}

TEST(AnimationSetting, FollowsTheSystemSwitchWhereThereIsOne) {
#ifdef _WIN32
    BOOL before = TRUE;
    ASSERT_TRUE(::SystemParametersInfoW(0x1042 /* SPI_GETCLIENTAREAANIMATION */, 0, &before, 0));
    for (BOOL enabled : {FALSE, TRUE}) {
        // Not written to the user's profile: the switch returns at the next log-on.
        ASSERT_TRUE(::SystemParametersInfoW(0x1043 /* SPI_SETCLIENTAREAANIMATION */, 0,
                                            reinterpret_cast<void*>(static_cast<INT_PTR>(enabled)), 0));
        EXPECT_EQ(clientAreaAnimation(), enabled ? AnimationSetting::Enabled : AnimationSetting::Disabled);
    }
    ::SystemParametersInfoW(0x1043, 0, reinterpret_cast<void*>(static_cast<INT_PTR>(before)), 0);
#else
    EXPECT_EQ(clientAreaAnimation(), AnimationSetting::Unknown);
#endif
}

TEST(DesktopEntry, PointsTheUsersEntryAtTheProgramWhereThereIsOne) {
    TempDir dir;
#ifdef _WIN32
    // The Start menu's shortcut under APPDATA, written whole and kept when it already says that.
    ScopedVariable appdata("APPDATA", pathToUtf8(dir.path()));
    const fs::path shortcut = dir / "Microsoft/Windows/Start Menu/Programs/Zarvo Launcher.lnk";
    EXPECT_EQ(pointDesktopEntryAt(dir / "current/bin/ZarvoLauncher.exe"), DesktopEntryUpdate::written);
    ASSERT_TRUE(fs::is_regular_file(shortcut));
    EXPECT_EQ(zarvo::test::readText(shortcut).substr(0, 4), std::string("L\0\0\0", 4));
    EXPECT_EQ(pointDesktopEntryAt(dir / "current/bin/ZarvoLauncher.exe"), DesktopEntryUpdate::unchanged);
    EXPECT_EQ(pointDesktopEntryAt(dir / "other/ZarvoLauncher.exe"), DesktopEntryUpdate::written);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(shortcut.parent_path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
#else
    ScopedVariable data("XDG_DATA_HOME", pathToUtf8(dir.path()));
    const fs::path program = dir / "current/bin/Zarvo Launcher";
    EXPECT_EQ(pointDesktopEntryAt(program), DesktopEntryUpdate::written);
    const std::string entry = zarvo::test::readText(dir / "applications/zarvo-launcher.desktop");
    EXPECT_NE(entry.find("\nExec=\"" + program.string() + "\"\n"), std::string::npos) << entry;
    EXPECT_EQ(pointDesktopEntryAt(program), DesktopEntryUpdate::unchanged);
    EXPECT_EQ(pointDesktopEntryAt(dir / "other"), DesktopEntryUpdate::written);

    // The same folder as the data directory's: without it, nothing is written.
    ScopedVariable noData("XDG_DATA_HOME", std::nullopt);
    ScopedVariable noHome("HOME", std::nullopt);
    EXPECT_THROW(pointDesktopEntryAt(program), UserFolderUnavailable);
#endif
}

TEST(DesktopEntry, IsRemovedOnlyWhenItStartsAProgramInsideTheFolder) {
    TempDir dir;
#ifdef _WIN32
    ScopedVariable appdata("APPDATA", pathToUtf8(dir.path()));
    const fs::path entry = dir / "Microsoft/Windows/Start Menu/Programs/Zarvo Launcher.lnk";
#else
    ScopedVariable data("XDG_DATA_HOME", pathToUtf8(dir.path()));
    const fs::path entry = dir / "applications/zarvo-launcher.desktop";
#endif
    // A name the menu entry quotes.
    const fs::path folder = dir / "Zarvo $Launcher";
    const fs::path installed = folder / "bootstrap/current/bin/ZarvoLauncher.exe";
    const struct {
        fs::path program;
        fs::path folder;
        EntryRemoval expected;
    } cases[] = {
        {installed, folder, EntryRemoval::removed},
        {installed, folder / "", EntryRemoval::removed},
        {installed, dir / "Zarvo $Launcher-portable", EntryRemoval::kept},
        {dir / "other/ZarvoLauncher.exe", folder, EntryRemoval::kept},
#ifdef _WIN32
        // Windows compares names without case.
        {installed, dir / "ZARVO $LAUNCHER", EntryRemoval::removed},
#endif
    };
    EXPECT_EQ(removeDesktopEntryInto(folder), EntryRemoval::absent);
    for (const auto& c : cases) {
        SCOPED_TRACE(pathToUtf8(c.program) + " in " + pathToUtf8(c.folder));
        ASSERT_NE(pointDesktopEntryAt(c.program), DesktopEntryUpdate::leftAlone);
        EXPECT_EQ(removeDesktopEntryInto(c.folder), c.expected);
        EXPECT_EQ(fs::exists(entry), c.expected == EntryRemoval::kept);
    }
}

}  // namespace
