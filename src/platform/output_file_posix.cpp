// Output files on POSIX: plain descriptors, never inherited by started processes.
#include "platform/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {

OutputFile::OutputFile(const std::filesystem::path& path, OutputMode mode) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (mode == OutputMode::Append ? O_APPEND : O_TRUNC);
    handle_ = FileHandle(::open(path.c_str(), flags, 0644));
    if (!handle_.valid()) {
        throw std::system_error(errno, std::generic_category(), "open " + path.string());
    }
}

void OutputFile::write(const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(handle_.get(), data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "write");
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

}  // namespace zarvo::platform
