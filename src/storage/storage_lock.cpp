// Lock files of the data directory: an ordinary file held open without
// sharing, so a second holder finds it busy and a crashed one leaves nothing.
#include "storage/storage_lock.h"

#include <system_error>
#include <thread>

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

StorageLock waitForStorageLock(const std::filesystem::path& path, std::chrono::milliseconds timeout) {
    constexpr auto kPollInterval = std::chrono::milliseconds(100);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        StorageLock lock = lockStorageFile(path);
        if (lock.held() || std::chrono::steady_clock::now() >= deadline) {
            return lock;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace zarvo
