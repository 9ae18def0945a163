// The program's listing among the current user's installed programs, through
// which the player removes it the way the system offers.
#pragma once

#include <filesystem>
#include <string>

#include "platform/user_settings.h"

namespace zarvo::platform {

// What the system's list of installed programs shows for the program.
struct UninstallEntry {
    std::filesystem::path executable;       // its icon, and the program that removes it with "--uninstall"
    std::filesystem::path installLocation;  // the data folder
    std::string version;
    std::string publisher;
};

// Lists the program among the current user's installed programs (Windows:
// the key HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZarvoLauncher,
// replacing what it held), so that the player can remove it the usual way.
// Returns written, or leftAlone where the system keeps no such list (Linux).
// Raises std::system_error.
DesktopEntryUpdate registerForUninstall(const UninstallEntry& entry);
// Removes that listing when its install location is folder. Raises std::system_error.
EntryRemoval removeUninstallEntryOf(const std::filesystem::path& folder);

}  // namespace zarvo::platform
