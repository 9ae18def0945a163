// Guards for folders the pre-starter deletes or writes into.
#pragma once

#include <filesystem>

namespace zarvo {

// Refuses a link or redirection on any existing component of the path, up to
// the volume root. Raises "GUARD_UNSAFE_PATH".
void guardPath(const std::filesystem::path& path);
// Lexically: path lies strictly inside root and its relative form is a safe
// relative path. Touches the file system only to make the paths absolute.
bool isWithinStorage(const std::filesystem::path& root, const std::filesystem::path& path);

}  // namespace zarvo
