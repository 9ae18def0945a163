// Deleting files and folder trees inside the data directory, never through a
// link and never outside it.
#pragma once

#include <filesystem>

namespace zarvo {

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
