// Inter-process lock files of the data directory ("bootstrap.lock", slot locks).
#pragma once

#include <chrono>
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
// As lockStorageFile, polling every 100 ms while the lock is busy, for up to
// timeout; returned not held when it stayed busy that long. For a process that
// must wait its turn (the new side of a hand-over behind its parent).
StorageLock waitForStorageLock(const std::filesystem::path& path, std::chrono::milliseconds timeout);

}  // namespace zarvo
