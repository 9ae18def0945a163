// Component locks on POSIX. Linux has no mandatory sharing modes: a held folder
// can still be renamed, and a shared open-file-description lock only stops
// writers that ask for the conflicting lock first. The guarantee holds against
// every process that follows the same protocol (the core, other pre-starters,
// our tools), not against one that writes without locking.
#include "platform/component_lock.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <cerrno>
#include <system_error>

#include "platform/ofd_lock_posix.h"
#include "platform/regular_file_posix.h"

namespace zarvo::platform {
namespace {

// A verified component keeps one descriptor per file and folder, up to a
// hundred thousand, while the usual soft limit is 1,024 (Windows has no such
// low ceiling on handles). The first open that meets the limit raises it to the
// hard limit and tries once more.
int openHoldingMany(const std::filesystem::path& path, int flags) {
    int descriptor = ::open(path.c_str(), flags);
    if (descriptor < 0 && errno == EMFILE) {
        struct rlimit limit {};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
                return ::open(path.c_str(), flags);
            }
        }
        errno = EMFILE;
    }
    return descriptor;
}

}  // namespace

FileHandle openComponentFolder(const std::filesystem::path& path) {
    FileHandle folder(openHoldingMany(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) {
        throw std::system_error(errno, std::generic_category(), "open folder " + path.string());
    }
    return folder;
}

std::optional<FileHandle> openComponentFile(const std::filesystem::path& path) {
    // O_NONBLOCK keeps a FIFO planted at the path from blocking the open; such a
    // path is refused below, and for a regular file the flag changes nothing.
    FileHandle file =
        requireRegularFile(FileHandle(openHoldingMany(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)), path);
    // Shared over the whole file: any number of readers, no cooperating writer.
    if (!tryLockWholeFile(file, OfdLockKind::Shared, path)) {
        return std::nullopt;
    }
    return file;
}

}  // namespace zarvo::platform
