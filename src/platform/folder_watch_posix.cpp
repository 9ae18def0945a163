// Folder watches on Linux: inotify, read without blocking after a poll.
#include "platform/folder_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

namespace zarvo::platform {

FolderWatch::FolderWatch(const std::filesystem::path& folder) noexcept
    : handle_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    const std::uint32_t events = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE;
    if (handle_.valid() && ::inotify_add_watch(handle_.get(), folder.c_str(), events) < 0) {
        handle_.reset();
    }
}

void FolderWatch::waitForChange(std::chrono::milliseconds timeout) noexcept {
    if (!handle_.valid()) {
        std::this_thread::sleep_for(timeout);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{handle_.get(), POLLIN, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(left.count() > 0 ? left.count() : 0));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return;
        }
        // The events themselves do not matter, only that there were some; the next wait starts afresh.
        alignas(inotify_event) char events[4096];
        while (::read(handle_.get(), events, sizeof events) > 0) {
        }
        return;
    }
}

}  // namespace zarvo::platform
