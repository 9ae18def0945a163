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

}  // namespace zarvo
