// Installer output files on POSIX descriptors.
#include "platform/install_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/file_io.h"
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

void copyFileToNew(const std::filesystem::path& source, const std::filesystem::path& destination) {
    FileHandle from = requireRegularFile(FileHandle(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)),
                                         source);
    struct stat info {};
    if (::fstat(from.get(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), "stat " + source.string());
    }
    FileHandle to(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to.valid()) {
        throw std::system_error(errno, std::generic_category(), "create " + destination.string());
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
    if (::fsync(to.get()) != 0) {
        throw std::system_error(errno, std::generic_category(), "fsync " + destination.string());
    }
    closeFile(to);
}

}  // namespace zarvo::platform
