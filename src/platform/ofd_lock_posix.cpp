#include "platform/ofd_lock_posix.h"

#include <fcntl.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {

bool tryLockWholeFile(const FileHandle& file, OfdLockKind kind, const std::filesystem::path& path) {
    struct flock lock {};
    lock.l_type = kind == OfdLockKind::Exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(file.get(), F_OFD_SETLK, &lock) == 0) {
        return true;
    }
    if (errno == EAGAIN || errno == EACCES) {
        return false;
    }
    throw std::system_error(errno, std::generic_category(), "lock " + path.string());
}

}  // namespace zarvo::platform
