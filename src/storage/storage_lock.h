// Inter-process lock files of the data directory ("bootstrap.lock", slot locks).
#pragma once

#include <filesystem>
#include <optional>

#include "platform/files.h"

namespace zarvo {

// One lock file handle: held, or not held because another process has it.
class StorageLock {
public:
    StorageLock() = default;
    explicit StorageLock(platform::FileHandle handle) noexcept : handle_(std::move(handle)) {}
    StorageLock(StorageLock&&) noexcept = default;
    StorageLock& operator=(StorageLock&&) noexcept = default;

    bool held() const noexcept { return handle_.valid(); }
    void release() noexcept { handle_.reset(); }

private:
    platform::FileHandle handle_;
};

// Guards the path, creates its folder and opens the lock without sharing. A busy lock is
// returned not held; other failures raise "STORAGE_LOCK_FAILED".
StorageLock lockStorageFile(const std::filesystem::path& path);

}  // namespace zarvo
