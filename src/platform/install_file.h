// Files the installer writes into its own folders: opened without following a
// link, never inherited by started processes, permissions set through the handle.
#pragma once

#include <filesystem>

#include "platform/file_handle.h"

namespace zarvo::platform {

// Opens the file at path for writing, creating it or truncating what is there;
// a link at the path itself is refused, not followed. New files start readable
// and writable by the owner only. Raises std::system_error.
FileHandle openFileForReplacing(const std::filesystem::path& path);
// Sets the file's permission bits (owner, group, others: the low nine bits)
// exactly, without the creation mask. Raises std::system_error.
void setFilePermissions(const FileHandle& file, unsigned permissions);
// Copies the regular file at source (a link there is refused, not followed) to
// a new file at destination, which must not exist: nothing is ever
// overwritten. The copy keeps the permission bits and is on disk when this
// returns. Raises std::system_error; a partial copy may remain on failure.
void copyFileToNew(const std::filesystem::path& source, const std::filesystem::path& destination);

}  // namespace zarvo::platform
