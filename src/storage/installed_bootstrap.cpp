#include "storage/installed_bootstrap.h"

#include <optional>
#include <string>

#include "log/logger.h"
#include "platform/files.h"
#include "storage/data_layout.h"
#include "storage/path_guard.h"
#include "storage/path_kind.h"
#include "storage/storage_lock.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// The previous installation moved aside last: its folder changed last, when
// the hand-over that installed it filled it.
std::optional<fs::path> newestPrevious(const fs::path& bootstrapFolder) {
    std::optional<fs::path> newest;
    fs::file_time_type newestTime;
    for (const fs::directory_entry& entry : fs::directory_iterator(bootstrapFolder)) {
        if (!isPreviousBootstrapName(platform::pathToUtf8(entry.path().filename())) || entry.is_symlink() ||
            !entry.is_directory()) {
            continue;
        }
        const fs::file_time_type time = entry.last_write_time();
        if (!newest || time > newestTime) {
            newest = entry.path();
            newestTime = time;
        }
    }
    return newest;
}

}  // namespace

bool restoreInstalledBootstrap(const fs::path& dataDir) {
    try {
        const DataLayout layout(dataDir);
        const fs::path folder = layout.bootstrapFolder();
        const fs::path current = layout.currentBootstrap();
        guardPath(folder);
        if (!existsAtAll(folder) || existsAtAll(current) || !newestPrevious(folder)) {
            return false;
        }
        StorageLock lock = lockStorageFile(layout.updateLock());
        if (!lock.held()) {
            logMessage(LogLevel::Info, "self-update.restore-deferred reason=busy");
            return false;
        }
        // Asked again under the lock: a hand-over may have just finished.
        const std::optional<fs::path> previous = newestPrevious(folder);
        if (existsAtAll(current) || !previous) {
            return false;
        }
        moveFolderToNewName(*previous, current);
        logMessage(LogLevel::Warn, "self-update.restored from=" + platform::pathToGenericUtf8(*previous) +
                                       " to=" + platform::pathToGenericUtf8(current));
        return true;
    } catch (const std::exception& error) {
        logMessage(LogLevel::Warn, std::string("self-update.restore-failed ") + error.what());
        return false;
    }
}

}  // namespace zarvo
