// Folder moves through renameat2 with RENAME_NOREPLACE, so a folder that
// appeared at the target is never replaced.
#include "platform/folder_move.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/file_handle.h"

namespace zarvo::platform {
namespace {

// Best effort: the move has happened either way, a failed flush only weakens durability.
void syncFolder(const std::filesystem::path& folder) {
    FileHandle handle(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (handle.valid()) {
        ::fsync(handle.get());
    }
}

}  // namespace

std::error_code moveFolderNoReplace(const std::filesystem::path& source, const std::filesystem::path& target) {
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        return std::error_code(errno, std::generic_category());
    }
    syncFolder(target.parent_path());
    syncFolder(source.parent_path());
    return {};
}

void flushFolderTree(const std::filesystem::path& folder) {
    FileHandle handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!handle.valid()) {
        throw std::system_error(errno, std::generic_category(), "open " + folder.string());
    }
    // One call for the whole tree instead of one fsync per file: the file
    // system writes back everything dirty, this tree's data and metadata included.
    if (::syncfs(handle.get()) != 0) {
        throw std::system_error(errno, std::generic_category(), "syncfs " + folder.string());
    }
}

}  // namespace zarvo::platform
