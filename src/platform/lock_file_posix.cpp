// Lock files held open with an exclusive open-file-description lock, which
// stands in for a Windows sharing mode of none.
#include "platform/lock_file.h"

#include <fcntl.h>

#include <cerrno>
#include <system_error>

#include "platform/ofd_lock_posix.h"

namespace zarvo::platform {

std::optional<FileHandle> openExclusiveLockFile(const std::filesystem::path& path) {
    FileHandle handle(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!handle.valid()) {
        throw std::system_error(errno, std::generic_category(), "open lock file " + path.string());
    }
    if (!tryLockWholeFile(handle, OfdLockKind::Exclusive, path)) {
        return std::nullopt;
    }
    return handle;
}

}  // namespace zarvo::platform
