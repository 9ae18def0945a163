#include "platform/file_replace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/file_handle.h"

namespace zarvo::platform {
namespace {

void syncPath(const std::filesystem::path& path, int flags) {
    FileHandle handle(::open(path.c_str(), flags | O_CLOEXEC));
    if (!handle.valid()) {
        throw std::system_error(errno, std::generic_category(), "open " + path.string());
    }
    if (::fsync(handle.get()) != 0) {
        throw std::system_error(errno, std::generic_category(), "fsync " + path.string());
    }
}

}  // namespace

void replaceFileDurably(const std::filesystem::path& source, const std::filesystem::path& target) {
    // The data must reach the disk before the name does, or a crash could
    // leave an empty file under the target's name.
    syncPath(source, O_RDONLY);
    if (::rename(source.c_str(), target.c_str()) != 0) {
        throw std::system_error(errno, std::generic_category(), "rename " + source.string());
    }
    // The move has happened; a folder that cannot be synced only weakens durability.
    auto parent = target.parent_path();
    try {
        syncPath(parent.empty() ? std::filesystem::path(".") : parent, O_RDONLY | O_DIRECTORY);
    } catch (const std::system_error&) {
    }
}

}  // namespace zarvo::platform
