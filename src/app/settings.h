// The user's settings.json: read only, and never a reason to fail.
#pragma once

#include <filesystem>
#include <string>

namespace zarvo {

// The boolean member `key` of dataDir/settings.json; false when the file is
// missing, oversized, not strict JSON, not an object, or the value does not
// convert to a boolean.
bool readSettingsFlag(const std::filesystem::path& dataDir, const std::string& key);

}  // namespace zarvo
