// Questions about what lies at a path, asked without following a link there,
// and the move of a folder to a name that must be free.
#pragma once

#include <filesystem>

namespace zarvo {

// A regular file itself; a link to one does not count.
bool isPlainFile(const std::filesystem::path& path) noexcept;
// Anything at all at the path, a dangling link included; a path that cannot be
// asked about counts as present, so that nothing is ever moved onto it.
bool existsAtAll(const std::filesystem::path& path) noexcept;
// Renames the folder to a name nothing holds yet; never replaces what is
// there. Raises std::filesystem::filesystem_error.
void moveFolderToNewName(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace zarvo
