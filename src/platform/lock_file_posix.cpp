// Open-file-description locks conflict between processes and between two
// opens in one process, as a Windows share mode of none does.
#include "platform/lock_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {

std::optional<FileHandle> openExclusiveLockFile(const std::filesystem::path& path) {
    FileHandle handle(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!handle.valid()) {
        throw std::system_error(errno, std::generic_category(), "open lock file " + path.string());
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(handle.get(), F_OFD_SETLK, &lock) != 0) {
        if (errno == EAGAIN || errno == EACCES) {
            return std::nullopt;
        }
        throw std::system_error(errno, std::generic_category(), "lock " + path.string());
    }
    return handle;
}

}  // namespace zarvo::platform
