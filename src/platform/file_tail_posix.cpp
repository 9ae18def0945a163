// Tail reads with pread on a close-on-exec descriptor, so a log that grows
// meanwhile never moves the window being read.
#include "platform/file_tail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/file_handle.h"
#include "platform/regular_file_posix.h"

namespace zarvo::platform {

FileTail readFileTail(const std::filesystem::path& path, std::size_t limit) {
    FileHandle file = requireRegularFile(FileHandle(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), path);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), "stat " + path.string());
    }
    FileTail tail;
    tail.size = static_cast<std::uint64_t>(info.st_size);
    const std::uint64_t start = tail.size > limit ? tail.size - limit : 0;
    tail.bytes.resize(static_cast<std::size_t>(tail.size - start));
    std::size_t done = 0;
    while (done < tail.bytes.size()) {
        ssize_t count = ::pread(file.get(), tail.bytes.data() + done, tail.bytes.size() - done,
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

}  // namespace zarvo::platform
