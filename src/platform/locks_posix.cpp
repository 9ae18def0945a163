// Locks on POSIX: whole-file open-file-description locks, which conflict
// between processes and between two opens in one process, as a Windows
// sharing mode does, and end when their descriptor is closed. Linux has no
// mandatory sharing modes: a held folder can still be renamed, and a shared
// lock only stops writers that ask for the conflicting lock first. The
// guarantee holds against every process that follows the same protocol (the
// core, other pre-starters, our tools), not against one that writes without
// locking.
#include "platform/locks.h"

#include <fcntl.h>

#include "platform/files_posix.h"
#include "platform/processes.h"

namespace zarvo::platform {
namespace {

enum class OfdLockKind { Shared, Exclusive };

// False when another open description holds a conflicting lock; raises
// std::system_error for any other failure.
bool tryLockWholeFile(const FileHandle& file, OfdLockKind kind, const std::filesystem::path& path) {
    struct flock lock {};
    lock.l_type = kind == OfdLockKind::Exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(descriptorOf(file), F_OFD_SETLK, &lock) == 0) {
        return true;
    }
    if (errno == EAGAIN || errno == EACCES) {
        return false;
    }
    throwErrno("lock", path);
}

// The first open that meets the limit raises it to the hard limit (start-up
// normally has already) and tries once more.
int openHoldingMany(const std::filesystem::path& path, int flags) {
    int descriptor = ::open(path.c_str(), flags);
    if (descriptor < 0 && errno == EMFILE) {
        const OpenFileLimit limit = raiseOpenFileLimit();
        if (limit.now > limit.before) {
            descriptor = ::open(path.c_str(), flags);
        }
        if (descriptor < 0) {
            errno = EMFILE;
        }
    }
    return descriptor;
}

}  // namespace

std::optional<FileHandle> openExclusiveLockFile(const std::filesystem::path& path) {
    // An exclusive lock needs the descriptor open for writing.
    FileHandle handle(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!handle.valid()) {
        throwErrno("open lock file", path);
    }
    if (!tryLockWholeFile(handle, OfdLockKind::Exclusive, path)) {
        return std::nullopt;
    }
    return handle;
}

FileHandle openComponentFolder(const std::filesystem::path& path) {
    FileHandle folder(openHoldingMany(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) {
        throwErrno("open folder", path);
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
