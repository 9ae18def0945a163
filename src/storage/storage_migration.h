// The one-time move of the data directory from the local folder of earlier
// releases to the roaming folder.
#pragma once

#include <filesystem>

namespace zarvo {

// Moves source to target in one rename once no pre-starter, launcher or game
// uses it, and returns target (absolute, normalised). Refusals leave both
// folders as they were; raises "LOCAL_ERROR", "STORAGE_EXISTS",
// "STORAGE_MIGRATION_BUSY", "GUARD_UNSAFE_PATH" or "STORAGE_LOCK_FAILED".
std::filesystem::path migrateStorage(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace zarvo
