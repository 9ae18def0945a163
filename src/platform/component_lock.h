// Handles that keep a verified component unchanged while it is in use: its
// folders held open, its files held open for reading with a shared lock.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/file_handle.h"

namespace zarvo::platform {

// Opens an existing folder (not a link to one) and holds it; others may still
// read and write inside it. Raises std::system_error.
FileHandle openComponentFolder(const std::filesystem::path& path);
// Opens an existing file (not a link) for sequential reading with read-only
// sharing: others may read it but not write it while the handle lives. Returns
// nullopt when someone else already holds it for writing; raises
// std::system_error for every other failure. Read its bytes with readSome.
std::optional<FileHandle> openComponentFile(const std::filesystem::path& path);

}  // namespace zarvo::platform
