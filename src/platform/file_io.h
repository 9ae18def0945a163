// Plain reads and writes of whole files through owned handles that started
// processes never inherit.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

#include "platform/file_handle.h"

namespace zarvo::platform {

// Opens an existing file for reading, links followed. A folder is refused, as
// it cannot be opened as a file on every platform. Raises std::system_error.
FileHandle openFileForReading(const std::filesystem::path& path);
// Creates a new file for writing; an existing file or link at the path is
// refused, never truncated or followed. Raises std::system_error.
FileHandle createNewFile(const std::filesystem::path& path);
// Reads up to size bytes; 0 only at end of file. Raises std::system_error.
std::size_t readSome(const FileHandle& file, char* buffer, std::size_t size);
// Writes every byte. Raises std::system_error (a full disk included).
void writeAll(const FileHandle& file, std::string_view bytes);
// Closes the handle and reports a failing close, which on some file systems is
// the first sign that written data did not reach the disk.
void closeFile(FileHandle& file);

}  // namespace zarvo::platform
