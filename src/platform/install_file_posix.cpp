// Installer output files on POSIX descriptors.
#include "platform/install_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "platform/regular_file_posix.h"

namespace zarvo::platform {

FileHandle openFileForReplacing(const std::filesystem::path& path) {
    // O_NONBLOCK keeps a FIFO left at the path from blocking the open; it means
    // nothing for the regular file that must be there afterwards.
    return requireRegularFile(
        FileHandle(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600)),
        path);
}

void setFilePermissions(const FileHandle& file, unsigned permissions) {
    // fchmod on the open descriptor: the file just written, not whatever the path names now.
    if (::fchmod(file.get(), static_cast<mode_t>(permissions & 0777u)) != 0) {
        throw std::system_error(errno, std::generic_category(), "chmod");
    }
}

}  // namespace zarvo::platform
