// Files on POSIX: plain descriptors, all opened close-on-exec so a started
// process never inherits one, and O_NOFOLLOW wherever a link at the path
// itself must be refused.
#include "platform/files_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace zarvo::platform {
namespace {

namespace fs = std::filesystem;

void syncPath(const fs::path& path, int flags) {
    FileHandle handle(::open(path.c_str(), flags | O_CLOEXEC));
    if (!handle.valid()) {
        throwErrno("open", path);
    }
    if (::fsync(descriptorOf(handle)) != 0) {
        throwErrno("fsync", path);
    }
}

// Best effort: the move has happened either way, a failed flush only weakens durability.
void syncFolder(const fs::path& folder) {
    FileHandle handle(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (handle.valid()) {
        ::fsync(descriptorOf(handle));
    }
}

}  // namespace

FileHandle requireRegularFile(FileHandle file, const fs::path& path) {
    if (!file.valid()) {
        throwErrno("open", path);
    }
    struct stat info {};
    if (::fstat(descriptorOf(file), &info) != 0) {
        throwErrno("stat", path);
    }
    if (!S_ISREG(info.st_mode)) {
        throw std::system_error(EINVAL, std::generic_category(), "not a regular file " + path.string());
    }
    return file;
}

// --- Handles ---------------------------------------------------------------

void FileHandle::reset() noexcept {
    if (valid()) {
        ::close(descriptorOf(*this));
        handle_ = kInvalid;
    }
}

// --- Reading and writing -------------------------------------------------------

FileHandle openFileForReading(const fs::path& path) {
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        throwErrno("open", path);
    }
    struct stat info {};
    if (::fstat(descriptorOf(file), &info) != 0) {
        throwErrno("stat", path);
    }
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        throwErrno("open", path);
    }
    return file;
}

FileHandle createNewFile(const fs::path& path) {
    FileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file.valid()) {
        throwErrno("create", path);
    }
    return file;
}

std::size_t readSome(const FileHandle& file, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t count = ::read(descriptorOf(file), buffer, size);
        if (count >= 0) {
            return static_cast<std::size_t>(count);
        }
        if (errno != EINTR) {
            throwErrno("read");
        }
    }
}

void writeAll(const FileHandle& file, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = ::write(descriptorOf(file), bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno("write");
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
}

void closeFile(FileHandle& file) {
    int descriptor = static_cast<int>(file.release());
    // Linux closes the descriptor even when close reports an error, so it is never retried.
    if (descriptor >= 0 && ::close(descriptor) != 0 && errno != EINTR) {
        throwErrno("close");
    }
}

OutputFile::OutputFile(const fs::path& path, OutputMode mode) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (mode == OutputMode::Append ? O_APPEND : O_TRUNC);
    handle_ = FileHandle(::open(path.c_str(), flags, 0600));
    if (!handle_.valid()) {
        throwErrno("open", path);
    }
}

void OutputFile::write(const char* data, std::size_t size) { writeAll(handle_, std::string_view(data, size)); }

void OutputFile::startWriteBack(std::uint64_t offset, std::uint64_t length) noexcept {
    // Queues the range for write-back and returns; the durable fsync comes later.
    ::sync_file_range(descriptorOf(handle_), static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
}

void replaceFileDurably(const fs::path& source, const fs::path& target) {
    // The data must reach the disk before the name does, or a crash could
    // leave an empty file under the target's name.
    syncPath(source, O_RDONLY);
    if (::rename(source.c_str(), target.c_str()) != 0) {
        throwErrno("rename", source);
    }
    // The move has happened; a folder that cannot be synced only weakens durability.
    auto parent = target.parent_path();
    try {
        syncPath(parent.empty() ? fs::path(".") : parent, O_RDONLY | O_DIRECTORY);
    } catch (const std::system_error&) {
    }
}

FileTail readFileTail(const fs::path& path, std::size_t limit) {
    FileHandle file = requireRegularFile(FileHandle(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), path);
    struct stat info {};
    if (::fstat(descriptorOf(file), &info) != 0) {
        throwErrno("stat", path);
    }
    FileTail tail;
    tail.size = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t start = tail.size > limit ? tail.size - limit : 0;
    tail.bytes.resize(static_cast<std::size_t>(tail.size - start));
    std::size_t done = 0;
    // pread: a log that grows meanwhile never moves the window being read.
    while (done < tail.bytes.size()) {
        ssize_t count = ::pread(descriptorOf(file), tail.bytes.data() + done, tail.bytes.size() - done,
                                static_cast<off_t>(start + done));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;  // a file cut short meanwhile: keep what arrived
        }
        done += static_cast<std::size_t>(count);
    }
    tail.bytes.resize(done);
    return tail;
}

// --- The installer's files -------------------------------------------------------

FileHandle openFileForReplacing(const fs::path& path) {
    // O_NONBLOCK keeps a FIFO left at the path from blocking the open; it means
    // nothing for the regular file that must be there afterwards.
    return requireRegularFile(
        FileHandle(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600)),
        path);
}

void setFilePermissions(const FileHandle& file, unsigned permissions) {
    // fchmod on the open descriptor: the file just written, not whatever the path names now.
    if (::fchmod(descriptorOf(file), static_cast<mode_t>(permissions & 0777u)) != 0) {
        throwErrno("chmod");
    }
}

void copyFileToNew(const fs::path& source, const fs::path& destination) {
    FileHandle from =
        requireRegularFile(FileHandle(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)), source);
    struct stat info {};
    if (::fstat(descriptorOf(from), &info) != 0) {
        throwErrno("stat", source);
    }
    FileHandle to(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to.valid()) {
        throwErrno("create", destination);
    }
    std::vector<char> block(1 << 20);
    for (;;) {
        std::size_t count = readSome(from, block.data(), block.size());
        if (count == 0) {
            break;
        }
        writeAll(to, std::string_view(block.data(), count));
    }
    setFilePermissions(to, static_cast<unsigned>(info.st_mode));
    // The copy is about to be published by a folder rename; its bytes must be
    // on disk before its name can be.
    if (::fsync(descriptorOf(to)) != 0) {
        throwErrno("fsync", destination);
    }
    closeFile(to);
}

// --- Folders -----------------------------------------------------------------

std::error_code moveFolderNoReplace(const fs::path& source, const fs::path& target) {
    // RENAME_NOREPLACE: a folder that appeared at the target is never replaced.
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        return std::error_code(errno, std::generic_category());
    }
    syncFolder(target.parent_path());
    syncFolder(source.parent_path());
    return {};
}

std::error_code exchangeFolders(const fs::path& first, const fs::path& second) {
    if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) != 0) {
        const int error = errno;
        // Older kernels and some file systems (FUSE, network ones) know no exchange.
        if (error == ENOSYS || error == EINVAL || error == EOPNOTSUPP) {
            return std::make_error_code(std::errc::function_not_supported);
        }
        return std::error_code(error, std::generic_category());
    }
    syncFolder(first.parent_path());
    if (second.parent_path() != first.parent_path()) {
        syncFolder(second.parent_path());
    }
    return {};
}

void flushFolderTree(const fs::path& folder) {
    FileHandle handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!handle.valid()) {
        throwErrno("open", folder);
    }
    // One call for the whole tree instead of one fsync per file: the file
    // system writes back everything dirty, this tree's data and metadata included.
    if (::syncfs(descriptorOf(handle)) != 0) {
        throwErrno("syncfs", folder);
    }
}

void createPrivateFolder(const fs::path& folder) {
    // The mode is given at creation, so the folder is never open to others even briefly.
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw fs::filesystem_error("create folder", folder, std::error_code(errno, std::generic_category()));
    }
}

// No other program's open stops a rename or a removal here: nothing waits, nothing is reported.
void reportHeldFilesTo(HeldFileReport) noexcept {}

bool isOutOfSpace(const std::error_code& error) noexcept {
    return error == std::errc::no_space_on_device ||
           (error.category() == std::generic_category() && error.value() == EDQUOT) ||
           (error.category() == std::system_category() && error.value() == EDQUOT);
}

bool restrictToOwner(const fs::path& folder) {
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        throwErrno("stat", folder);
    }
    if (!S_ISDIR(info.st_mode) || (info.st_mode & 077) == 0) {
        return false;
    }
    if (::chmod(folder.c_str(), info.st_mode & 0700) != 0) {
        throwErrno("chmod", folder);
    }
    return true;
}

// inotify, read without blocking after a poll.
FolderWatch::FolderWatch(const fs::path& folder) noexcept : handle_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    const std::uint32_t events = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE;
    if (handle_ >= 0 && ::inotify_add_watch(static_cast<int>(handle_), folder.c_str(), events) < 0) {
        ::close(static_cast<int>(handle_));
        handle_ = FileHandle::kInvalid;
    }
}

FolderWatch::~FolderWatch() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
    }
}

void FolderWatch::waitForChange(std::chrono::milliseconds timeout) noexcept {
    if (handle_ < 0) {
        std::this_thread::sleep_for(timeout);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{static_cast<int>(handle_), POLLIN, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(left.count() > 0 ? left.count() : 0));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return;
        }
        // The events themselves do not matter, only that there were some; the next wait starts afresh.
        alignas(inotify_event) char events[4096];
        while (::read(static_cast<int>(handle_), events, sizeof events) > 0) {
        }
        return;
    }
}

// Linux redirects paths only through symbolic links, which callers test
// themselves; junctions and other reparse points do not exist here.
bool hasRedirectionAttribute(const fs::path&) noexcept { return false; }

// --- Path text: narrow UTF-8 byte strings already ------------------------------

std::string pathToUtf8(const fs::path& path) { return path.string(); }

std::string pathToGenericUtf8(const fs::path& path) { return path.generic_string(); }

fs::path pathFromUtf8(const std::string& text) { return fs::path(text); }

}  // namespace zarvo::platform
