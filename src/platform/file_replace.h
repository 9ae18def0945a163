// Durable, atomic replacement of one file by another in the same folder.
#pragma once

#include <filesystem>

namespace zarvo::platform {

// Moves source over target, replacing it, and returns only once the move is on
// disk: readers see the old or the new file, never a mix. Raises
// std::system_error; on failure the target is unchanged.
void replaceFileDurably(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace zarvo::platform
