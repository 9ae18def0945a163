// Shared by the POSIX implementations only: descriptors inside a FileHandle,
// errno as std::system_error, and refusing what is not a regular file.
#pragma once

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/files.h"

namespace zarvo::platform {

inline int descriptorOf(const FileHandle& file) noexcept { return static_cast<int>(file.get()); }

// The current errno with the operation and, when given, the path it was about.
[[noreturn]] inline void throwErrno(const std::string& operation, const std::filesystem::path& path = {}) {
    const int error = errno;  // before anything below can change it
    throw std::system_error(error, std::generic_category(),
                            path.empty() ? operation : operation + " " + path.string());
}

// Raises std::system_error (errno of open when the handle is not valid,
// EINVAL when it is not a regular file: a FIFO, a device, a folder);
// otherwise hands the handle back.
FileHandle requireRegularFile(FileHandle file, const std::filesystem::path& path);

}  // namespace zarvo::platform
