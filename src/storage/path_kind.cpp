#include "storage/path_kind.h"

#include "platform/file_entries.h"
#include "platform/files.h"

namespace zarvo {

bool isPlainFile(const std::filesystem::path& path) noexcept {
    std::error_code error;
    return platform::entryKind(path, error) == platform::EntryKind::file;
}

bool existsAtAll(const std::filesystem::path& path) noexcept {
    std::error_code error;
    return platform::entryKind(path, error) != platform::EntryKind::missing ||
           (error && error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory);
}

void moveFolderToNewName(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (std::error_code error = platform::moveFolderNoReplace(from, to)) {
        throw std::filesystem::filesystem_error("rename", from, to, error);
    }
}

}  // namespace zarvo
