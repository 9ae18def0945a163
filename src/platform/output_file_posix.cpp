// Output files on POSIX: plain descriptors, never inherited by started processes.
#include "platform/output_file.h"

#include <fcntl.h>

#include <cerrno>
#include <string_view>
#include <system_error>

#include "platform/file_io.h"

namespace zarvo::platform {

OutputFile::OutputFile(const std::filesystem::path& path, OutputMode mode) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (mode == OutputMode::Append ? O_APPEND : O_TRUNC);
    handle_ = FileHandle(::open(path.c_str(), flags, 0600));
    if (!handle_.valid()) {
        throw std::system_error(errno, std::generic_category(), "open " + path.string());
    }
}

void OutputFile::write(const char* data, std::size_t size) { writeAll(handle_, std::string_view(data, size)); }

void OutputFile::startWriteBack(std::uint64_t offset, std::uint64_t length) noexcept {
    // Queues the range for write-back and returns; the durable fsync comes later.
    ::sync_file_range(handle_.get(), static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
}

}  // namespace zarvo::platform
