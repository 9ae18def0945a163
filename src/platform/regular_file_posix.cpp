#include "platform/regular_file_posix.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {

FileHandle requireRegularFile(FileHandle file, const std::filesystem::path& path) {
    if (!file.valid()) {
        throw std::system_error(errno, std::generic_category(), "open " + path.string());
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), "stat " + path.string());
    }
    if (!S_ISREG(info.st_mode)) {
        throw std::system_error(EINVAL, std::generic_category(), "not a regular file " + path.string());
    }
    return file;
}

}  // namespace zarvo::platform
