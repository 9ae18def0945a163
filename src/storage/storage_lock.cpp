// Lock files of the data directory: an ordinary file held open without
// sharing, so a second holder finds it busy and a crashed one leaves nothing.
#include "storage/storage_lock.h"

#include <system_error>

#include "platform/files.h"
#include "platform/locks.h"
#include "storage/path_guard.h"
#include "trust/error.h"

namespace zarvo {

StorageLock lockStorageFile(const std::filesystem::path& path) {
    guardPath(path);
    std::filesystem::path folder = path.parent_path();
    if (!folder.empty()) {
        platform::createPrivateFolders(folder);
    }
    std::optional<platform::FileHandle> handle;
    try {
        handle = platform::openExclusiveLockFile(path);
    } catch (const std::system_error&) {
        throw Error("STORAGE_LOCK_FAILED", "Не удалось заблокировать хранилище");
    }
    if (!handle) {
        return StorageLock();
    }
    return StorageLock(std::move(*handle));
}

}  // namespace zarvo
