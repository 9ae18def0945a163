// Storage cleanup after a launch: decides by name alone what is stale, and
// leaves everything another process may be using to a later run.
#include "storage/storage_cleanup.h"

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "log/logger.h"
#include "platform/file_entries.h"
#include "platform/files.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "storage/path_guard.h"
#include "storage/path_kind.h"
#include "storage/storage_lock.h"
#include "trust/error.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// The folder's entries in listing order, or none when the folder is missing.
// Listed whole before anything is deleted, so deletions cannot disturb the listing.
std::vector<fs::path> entriesOf(const fs::path& folder) {
    guardPath(folder);
    std::vector<fs::path> entries;
    if (platform::entryKind(folder) == platform::EntryKind::missing) {
        return entries;
    }
    for (const platform::FolderEntry& entry : platform::folderEntries(folder)) {
        entries.push_back(entry.path);
    }
    return entries;
}

std::string nameOf(const fs::path& entry) { return platform::pathToUtf8(entry.filename()); }

void removeStaleSlots(const DataLayout& layout, const Json::Value& state, const std::string& spared) {
    // Anything but text (or nothing) means the state cannot say which slots
    // are in use, so the cleanup stops instead of guessing.
    const auto [active, previous] = recordedSlotsOf(state);
    // Cleanup follows a launch, so an active slot is always on record; without
    // one, the slot in use is unknown and every slot would look stale.
    if (active.empty()) {
        return;
    }
    for (const fs::path& entry : entriesOf(layout.slotsFolder())) {
        const std::string name = nameOf(entry);
        if (name == active || name == previous || (!spared.empty() && name == spared) || !isSlotOrStageName(name)) {
            continue;
        }
        // A busy lock is a core running from this slot.
        StorageLock lock = lockStorageFile(layout.slotLock(name));
        if (lock.held()) {
            tryRemoveWithinStorage(layout.root(), entry);
        }
    }
}

void removeStaleDownloads(const DataLayout& layout, const Json::Value& state) {
    // A partial download of the newest accepted release is what a later run resumes.
    const std::set<std::string> resumable = acceptedDigestsOf(state);
    for (const fs::path& entry : entriesOf(layout.downloadsFolder())) {
        const std::string name = nameOf(entry);
        if (!isDownloadName(name) || (isPartialDownloadName(name) && resumable.count(downloadDigestOf(name)) != 0)) {
            continue;
        }
        // The download's own lock: another process that is fetching or
        // resuming this file right now keeps it, and its partial file with it.
        StorageLock lock = lockStorageFile(downloadLockOf(layout.download(downloadDigestOf(name))));
        if (lock.held()) {
            tryRemoveWithinStorage(layout.root(), entry);
        }
    }
}

void removeSelfUpdateLeftovers(const DataLayout& layout) {
    // Without "current" a previous installation is the only whole one left:
    // the next start puts it back.
    const bool installed = existsAtAll(layout.currentBootstrap());
    for (const fs::path& entry : entriesOf(layout.bootstrapFolder())) {
        const std::string name = nameOf(entry);
        if (isSelfUpdateLeftover(name) && (installed || !isPreviousBootstrapName(name))) {
            tryRemoveWithinStorage(layout.root(), entry);
        }
    }
}

}  // namespace

void cleanupStorage(const fs::path& dataDir, const Json::Value& state, const std::string& sparedSlot) {
    try {
        const DataLayout layout(dataDir);
        removeStaleSlots(layout, state, sparedSlot);
        removeStaleDownloads(layout, state);
        removeSelfUpdateLeftovers(layout);
    } catch (const std::exception& error) {
        logMessage(LogLevel::Warn, std::string("storage.cleanup ") + error.what());
    }
}

}  // namespace zarvo
