// Guards for folders the pre-starter deletes or writes into, and deletion
// inside the data directory, never through a link and never outside it.
#pragma once

#include <filesystem>

namespace zarvo {

// Refuses a link or redirection on any existing component of the path, up to
// the volume root. Raises "GUARD_UNSAFE_PATH".
void guardPath(const std::filesystem::path& path);
// Lexically: path lies strictly inside root and its relative form is a safe
// relative path. Touches the file system only to make the paths absolute.
bool isWithinStorage(const std::filesystem::path& root, const std::filesystem::path& path);

// Deletes target (a file or a whole folder tree) strictly inside root; a
// missing target is no error. Raises "LOCAL_ERROR" for a target outside root
// (root itself included), "GUARD_UNSAFE_PATH" for a link on the way or inside
// the tree, and the file system's own error for a failed deletion. The first
// failure stops; what was deleted by then stays deleted.
void removeWithinStorage(const std::filesystem::path& root, const std::filesystem::path& target);
// As removeWithinStorage, but a failure derived from std::exception becomes a
// "storage.cleanup-deferred" Debug line and the target is left for a later run.
void tryRemoveWithinStorage(const std::filesystem::path& root, const std::filesystem::path& target);

}  // namespace zarvo
