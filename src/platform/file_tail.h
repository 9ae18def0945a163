// The last bytes of a file that another part of the program may still be
// appending to, such as the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace zarvo::platform {

struct FileTail {
    std::uint64_t size = 0;  // the file's length when it was opened
    std::string bytes;       // at most the requested number of bytes before that length
};

// Reads up to limit bytes from offset max(0, size - limit). A short read keeps
// what arrived. Raises std::system_error when the file cannot be opened.
FileTail readFileTail(const std::filesystem::path& path, std::size_t limit);

}  // namespace zarvo::platform
