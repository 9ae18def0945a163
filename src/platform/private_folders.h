// Folders of the data directory belong to the user alone: another account
// must not read its files or take its locks.
#pragma once

#include <filesystem>

namespace zarvo::platform {

// Creates the folder and its missing parents, each new one accessible to the
// user only (POSIX: 0700); existing folders are left as they are. Raises
// std::filesystem::filesystem_error.
void createPrivateFolders(const std::filesystem::path& folder);
// Closes an existing folder to everyone but its owner when it is open to
// others; returns whether it was changed. Windows' per-user folders are
// private already. Raises std::system_error.
bool restrictToOwner(const std::filesystem::path& folder);

}  // namespace zarvo::platform
