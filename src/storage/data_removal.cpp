// Everything but the lock files goes while every lock is held, so no run can
// start and no core can launch meanwhile. The slot locks go next, still under
// "bootstrap.lock", without which no core is started; that lock goes last. A
// run that starts in the moment between its release and its removal takes it
// first: the removal then fails on the file (or on the folder that run has
// begun to fill) and says so.
#include "storage/data_removal.h"

#include <filesystem>
#include <vector>

#include "platform/file_entries.h"
#include "storage/path_guard.h"
#include "storage/path_kind.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

void guardWholeTree(const fs::path& root) {
    guardPath(root);
    for (const platform::FolderEntry& entry : platform::folderTree(root)) {
        guardPath(entry.path);
    }
}

}  // namespace

bool looksLikeDataDirectory(const DataLayout& layout) noexcept {
    return isPlainFile(layout.stateFile()) || isPlainFile(layout.updateLock()) || isPlainFile(layout.logFile());
}

void removeDataDirectory(const DataLayout& layout, DataDirectoryHold hold) {
    const fs::path& root = layout.root();
    guardWholeTree(root);
    const fs::path slotLocks = layout.slotLocksFolder();
    const fs::path updateLock = layout.updateLock();
    std::vector<fs::path> entries;
    for (const platform::FolderEntry& entry : platform::folderEntries(root)) {
        if (entry.path != slotLocks && entry.path != updateLock) {
            entries.push_back(entry.path);
        }
    }
    for (const fs::path& entry : entries) {
        removeWithinStorage(root, entry);
    }
    hold.slotLocks.clear();
    removeWithinStorage(root, slotLocks);
    hold.bootstrapLock.release();
    removeWithinStorage(root, updateLock);
    guardPath(root);
    platform::removeEntry(root);
}

}  // namespace zarvo
