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

// Proves the source against expected, links (or copies) it under a temporary
// sibling name of destination, proves it again and moves it into place. Raises
// "HASH_MISMATCH", "GUARD_UNSAFE_PATH" or the file system's error; no
// temporary file survives a failure.
void linkVerifiedFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const std::string& expected);

}  // namespace zarvo
