// File reads and writes with POSIX descriptors, all opened close-on-exec.
#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {
namespace {

[[noreturn]] void throwErrno(const char* operation, const std::filesystem::path& path) {
    throw std::system_error(errno, std::generic_category(), std::string(operation) + " " + path.string());
}

}  // namespace

FileHandle openFileForReading(const std::filesystem::path& path) {
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        throwErrno("open", path);
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        throwErrno("stat", path);
    }
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        throwErrno("open", path);
    }
    return file;
}

FileHandle createNewFile(const std::filesystem::path& path) {
    FileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file.valid()) {
        throwErrno("create", path);
    }
    return file;
}

std::size_t readSome(const FileHandle& file, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t count = ::read(file.get(), buffer, size);
        if (count >= 0) {
            return static_cast<std::size_t>(count);
        }
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "read");
        }
    }
}

void writeAll(const FileHandle& file, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = ::write(file.get(), bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "write");
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
}

void closeFile(FileHandle& file) {
    int descriptor = file.release();
    // Linux closes the descriptor even when close reports an error, so it is never retried.
    if (descriptor >= 0 && ::close(descriptor) != 0 && errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "close");
    }
}

}  // namespace zarvo::platform
