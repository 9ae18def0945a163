// Inter-process locks held as open files. A lock file is held open without
// sharing: another opener, in this or any other process, finds it busy, and a
// crashed holder leaves no lock. Component locks keep a verified component
// unchanged while it is in use: its folders held open, its files held open
// for reading with read-only sharing.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/files.h"

namespace zarvo::platform {

// Opens (creating when missing) the lock file at path, refusing a link or
// redirection at the path itself, and holds it exclusively. Returns nullopt
// when another holder has it (a sharing violation); raises std::system_error
// for every other failure. The handle is never inherited by started processes.
std::optional<FileHandle> openExclusiveLockFile(const std::filesystem::path& path);

// Opens an existing folder (not a link or redirection) and holds it; others
// may still read and write inside it, but on Windows not delete or move it.
// Raises std::system_error.
FileHandle openComponentFolder(const std::filesystem::path& path);
// Opens an existing file (not a link or redirection) for sequential reading
// with read-only sharing: others may read it but not write, move or delete it
// while the handle lives. Returns nullopt when someone else already holds it
// for writing; raises std::system_error for every other failure. Read its
// bytes with readSome.
std::optional<FileHandle> openComponentFile(const std::filesystem::path& path);

}  // namespace zarvo::platform
