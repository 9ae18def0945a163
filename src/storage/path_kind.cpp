#include "storage/path_kind.h"

#include "platform/files.h"

namespace zarvo {

bool isPlainFile(const std::filesystem::path& path) noexcept {
    std::error_code error;
    return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error));
}

bool existsAtAll(const std::filesystem::path& path) noexcept {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found;
}

void moveFolderToNewName(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (std::error_code error = platform::moveFolderNoReplace(from, to)) {
        throw std::filesystem::filesystem_error("rename", from, to, error);
    }
}

}  // namespace zarvo
