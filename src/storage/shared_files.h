// Carrying verified core files from an installed slot into a stage folder, by
// hard link where possible, so an unchanged core is not downloaded again.
#pragma once

#include <json/value.h>

#include <filesystem>
#include <string>

namespace zarvo {

// Carries every file of the map (relative path -> lowercase SHA-256) from
// sourceRoot to destinationRoot with linkVerifiedFile. Raises on the first
// failure; files carried before it stay.
void linkSharedFiles(const std::filesystem::path& sourceRoot, const std::filesystem::path& destinationRoot,
                     const Json::Value& files);

// Proves the source against expected and carries it to destination (which
// must lie in a private stage): a hard link under its final name, or, where no
// link can be made, a copy under a temporary sibling name moved into place;
// proves the result again. Raises "HASH_MISMATCH", "GUARD_UNSAFE_PATH" or the
// file system's error; neither a temporary file nor an unproven link survives
// a failure.
void linkVerifiedFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const std::string& expected);

}  // namespace zarvo
