// The per-user folders under which the data directory lives.
#pragma once

#include <filesystem>

namespace zarvo::platform {

// The user's roaming application-data folder (Linux: $XDG_DATA_HOME or ~/.local/share).
// Raises zarvo::Error "LOCAL_ERROR" when the environment names none.
std::filesystem::path roamingAppDataFolder();
// The user's local application-data folder of earlier releases
// (Linux: $XDG_STATE_HOME or ~/.local/state). Raises like roamingAppDataFolder.
std::filesystem::path localAppDataFolder();

}  // namespace zarvo::platform
