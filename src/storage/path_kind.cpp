#include "storage/path_kind.h"

namespace zarvo {

bool isPlainFile(const std::filesystem::path& path) noexcept {
    std::error_code error;
    return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error));
}

bool existsAtAll(const std::filesystem::path& path) noexcept {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found;
}

}  // namespace zarvo
