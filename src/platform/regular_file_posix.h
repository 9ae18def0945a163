// Shared by the POSIX implementations only: refusing a descriptor that does
// not refer to a regular file (a FIFO, a device, a folder).
#pragma once

#include <filesystem>

#include "platform/file_handle.h"

namespace zarvo::platform {

// Raises std::system_error (errno of open when the handle is not valid,
// EINVAL when it is not a regular file); otherwise hands the handle back.
FileHandle requireRegularFile(FileHandle file, const std::filesystem::path& path);

}  // namespace zarvo::platform
