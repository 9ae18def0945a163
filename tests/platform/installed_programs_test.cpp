// The program's listing among the user's installed programs: written whole,
// removed only for its own folder, and nothing at all where there is no list.
#include "platform/installed_programs.h"

#include <gtest/gtest.h>

#include "platform_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace zarvo::platform;
using zarvo::test::TempDir;

TEST(UninstallEntry, ListsTheProgramAndIsRemovedOnlyForItsFolder) {
    TempDir dir;
    const fs::path folder = dir / "ZarvoLauncher";
    const fs::path program = folder / "bootstrap/current/bin/ZarvoLauncher.exe";
#ifdef _WIN32
    const wchar_t* key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZarvoLauncher";
    // A real player's listing is never replaced by a test's.
    if (HKEY listed = nullptr; !zarvo::test::underWine() &&
                               ::RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &listed) == ERROR_SUCCESS) {
        ::RegCloseKey(listed);
        GTEST_SKIP() << "this user has the program listed";
    }
    ASSERT_EQ(registerForUninstall({program, folder, "1.2.3", "Zarvo"}), DesktopEntryUpdate::written);
    const std::wstring exe = fs::path(program).make_preferred().wstring();
    const std::pair<const wchar_t*, std::wstring> texts[] = {
        {L"DisplayName", L"Zarvo Launcher"},
        {L"DisplayVersion", L"1.2.3"},
        {L"Publisher", L"Zarvo"},
        {L"DisplayIcon", exe + L",0"},
        {L"InstallLocation", fs::path(folder).make_preferred().wstring()},
        {L"UninstallString", L"\"" + exe + L"\" --uninstall"},
        {L"QuietUninstallString", L"\"" + exe + L"\" --uninstall --headless"},
    };
    for (const auto& [name, expected] : texts) {
        std::wstring value(1024, L'\0');
        DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        ASSERT_EQ(::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, value.data(), &size),
                  ERROR_SUCCESS);
        value.resize(size / sizeof(wchar_t) - 1);
        EXPECT_TRUE(value == expected) << pathToUtf8(name);
    }
    for (const wchar_t* name : {L"NoModify", L"NoRepair"}) {
        DWORD value = 0;
        DWORD size = sizeof value;
        ASSERT_EQ(::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(value, 1u) << pathToUtf8(name);
    }
    EXPECT_EQ(removeUninstallEntryOf(dir / "ZarvoLauncher-portable"), EntryRemoval::kept);
    EXPECT_EQ(removeUninstallEntryOf(dir / "zarvolauncher"), EntryRemoval::removed);
    EXPECT_EQ(removeUninstallEntryOf(folder), EntryRemoval::absent);
#else
    EXPECT_EQ(registerForUninstall({program, folder, "1.2.3", "Zarvo"}), DesktopEntryUpdate::leftAlone);
    EXPECT_EQ(removeUninstallEntryOf(folder), EntryRemoval::absent);
#endif
}

}  // namespace
