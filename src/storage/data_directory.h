// Where the data directory lives.
#pragma once

#include <filesystem>

namespace zarvo {

// The roaming folder, or the legacy folder moved there on first start.
std::filesystem::path resolveDataDirectory();
// <roaming application data>/ZarvoLauncher.
std::filesystem::path roamingDataDirectory();
// <local application data>/zarvoquorvalith/zarvolauncher.
std::filesystem::path legacyDataDirectory();
// Creates the data directory private to the user. The player's default one,
// when an earlier version left it open to other accounts, is closed to them; a
// folder chosen on the command line is the caller's and stays as it is.
// Returns whether an open folder was closed. Raises the file system's errors.
bool prepareDataDirectory(const std::filesystem::path& dataDir, bool isDefault);

}  // namespace zarvo
