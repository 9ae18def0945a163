#include "platform/private_folders.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {

void createPrivateFolders(const std::filesystem::path& folder) {
    if (folder.empty()) {
        return;
    }
    std::error_code error;
    if (std::filesystem::is_directory(folder, error)) {
        return;
    }
    const std::filesystem::path parent = folder.parent_path();
    if (parent != folder && !parent.empty()) {
        createPrivateFolders(parent);
    }
    // The mode is given at creation, so the folder is never open to others even briefly.
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::filesystem::filesystem_error("create folder", folder,
                                                std::error_code(errno, std::generic_category()));
    }
    if (!std::filesystem::is_directory(folder, error)) {
        throw std::filesystem::filesystem_error("create folder", folder,
                                                std::make_error_code(std::errc::not_a_directory));
    }
}

bool restrictToOwner(const std::filesystem::path& folder) {
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), "stat " + folder.string());
    }
    if (!S_ISDIR(info.st_mode) || (info.st_mode & 077) == 0) {
        return false;
    }
    if (::chmod(folder.c_str(), info.st_mode & 0700) != 0) {
        throw std::system_error(errno, std::generic_category(), "chmod " + folder.string());
    }
    return true;
}

}  // namespace zarvo::platform
