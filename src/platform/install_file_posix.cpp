// Installer output files on POSIX descriptors.
#include "platform/install_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {

FileHandle openFileForReplacing(const std::filesystem::path& path) {
    // O_NONBLOCK keeps a FIFO left at the path from blocking the open; it means
    // nothing for the regular file that must be there afterwards.
    FileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
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

void setFilePermissions(const FileHandle& file, unsigned permissions) {
    // fchmod on the open descriptor: the file just written, not whatever the path names now.
    if (::fchmod(file.get(), static_cast<mode_t>(permissions & 0777u)) != 0) {
        throw std::system_error(errno, std::generic_category(), "chmod");
    }
}

}  // namespace zarvo::platform
