// A file written front to back by one owner, such as a download's partial file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "platform/file_handle.h"

namespace zarvo::platform {

enum class OutputMode { Truncate, Append };

// Owns one open output file; closed when it goes out of scope.
class OutputFile {
public:
    OutputFile() = default;
    // Opens (creating when missing) without following a link at the path itself.
    // Raises std::system_error.
    OutputFile(const std::filesystem::path& path, OutputMode mode);

    bool isOpen() const noexcept { return handle_.valid(); }
    // Writes all the bytes or raises std::system_error.
    void write(const char* data, std::size_t size);
    // Starts writing this byte range to disk without waiting for it, so that a
    // later flush of the whole file waits for little. Best effort: a system
    // without the call, or a failure, changes nothing.
    void startWriteBack(std::uint64_t offset, std::uint64_t length) noexcept;
    void close() noexcept { handle_.reset(); }

private:
    FileHandle handle_;
};

}  // namespace zarvo::platform
