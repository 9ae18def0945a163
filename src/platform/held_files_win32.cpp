#include "platform/held_files_win32.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/files.h"

namespace zarvo::platform {
namespace {

constexpr std::chrono::milliseconds kFirstWait{10};
constexpr std::chrono::milliseconds kLongestWait{1000};
constexpr std::chrono::milliseconds kAllWaits{10000};

std::atomic<HeldFileReport> heldFileReport{nullptr};

const char* errorName(DWORD error) {
    switch (error) {
    case ERROR_SHARING_VIOLATION:
        return "sharing-violation";
    case ERROR_LOCK_VIOLATION:
        return "lock-violation";
    case ERROR_ACCESS_DENIED:
        return "access-denied";
    default:
        return "other";
    }
}

bool isBriefHold(DWORD error, SharingViolation sharing) {
    return error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED ||
           (error == ERROR_SHARING_VIOLATION && sharing == SharingViolation::waitOut);
}

void report(const std::string& line) noexcept {
    if (HeldFileReport target = heldFileReport.load()) {
        try {
            target(line);
        } catch (...) {
            // An unwritten report changes nothing about the file.
        }
    }
}

}  // namespace

void reportHeldFilesTo(HeldFileReport target) noexcept { heldFileReport.store(target); }

bool waitOutHolds(const char* operation, const std::filesystem::path& path, const std::function<bool()>& attempt,
                  SharingViolation sharing) {
    std::chrono::milliseconds waited{0};
    std::chrono::milliseconds next = kFirstWait;
    DWORD firstError = ERROR_SUCCESS;
    for (;;) {
        const bool done = attempt();
        const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
        if (done || !isBriefHold(error, sharing) || waited >= kAllWaits) {
            if (waited.count() > 0) {
                report(std::string("file.held operation=") + operation + " path=" + pathToGenericUtf8(path) +
                       " error=" + errorName(firstError) + " waitedMs=" + std::to_string(waited.count()) +
                       " outcome=" + (done ? "done" : "failed"));
            }
            ::SetLastError(error);
            return done;
        }
        if (firstError == ERROR_SUCCESS) {
            firstError = error;
        }
        const std::chrono::milliseconds pause = std::min(next, kAllWaits - waited);
        std::this_thread::sleep_for(pause);
        waited += pause;
        next = std::min(next * 2, kLongestWait);
    }
}

}  // namespace zarvo::platform
