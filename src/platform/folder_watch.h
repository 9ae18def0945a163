// Waiting for an entry to appear in one folder, so that a file another process
// writes there is seen at once rather than after a fixed pause.
#pragma once

#include <chrono>
#include <filesystem>

#include "platform/file_handle.h"

namespace zarvo::platform {

// Watches one folder for entries created, moved in or finished being written.
// A watch that cannot be set up simply waits out every time-out. Used by one thread.
class FolderWatch {
public:
    explicit FolderWatch(const std::filesystem::path& folder) noexcept;
    // Returns once the time-out has passed, or earlier when the folder changed
    // since the last call. Never raises.
    void waitForChange(std::chrono::milliseconds timeout) noexcept;

private:
    FileHandle handle_;
};

}  // namespace zarvo::platform
