// Shared by the POSIX implementations only: a whole-file open-file-description
// lock, which conflicts between processes and between two opens in one
// process, as a Windows sharing mode does, and ends when its handle is closed.
#pragma once

#include <filesystem>

#include "platform/file_handle.h"

namespace zarvo::platform {

enum class OfdLockKind { Shared, Exclusive };

// False when another open description holds a conflicting lock; raises
// std::system_error for any other failure.
bool tryLockWholeFile(const FileHandle& file, OfdLockKind kind, const std::filesystem::path& path);

}  // namespace zarvo::platform
