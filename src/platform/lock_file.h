// Inter-process lock files: a file held open without sharing. Another opener,
// in this or any other process, finds it busy; a crashed holder leaves no lock.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/file_handle.h"

namespace zarvo::platform {

// Opens (creating when missing) the file at path without following a link at
// the path itself and takes an exclusive lock on it. Returns nullopt when
// another holder has it (a sharing violation); raises std::system_error for
// every other failure. The handle is never inherited by started processes.
std::optional<FileHandle> openExclusiveLockFile(const std::filesystem::path& path);

}  // namespace zarvo::platform
