#include "storage/data_directory_hold.h"

#include <filesystem>

#include "storage/path_kind.h"

namespace zarvo {

DataDirectoryUse holdUnused(const DataLayout& layout, DataDirectoryHold& hold) {
    hold.bootstrapLock = lockStorageFile(layout.updateLock());
    if (!hold.bootstrapLock.held()) {
        return DataDirectoryUse::updating;
    }
    const std::filesystem::path slotLocks = layout.slotLocksFolder();
    if (existsAtAll(slotLocks)) {
        for (const auto& entry : std::filesystem::directory_iterator(slotLocks)) {
            hold.slotLocks.push_back(lockStorageFile(entry.path()));
            if (!hold.slotLocks.back().held()) {
                return DataDirectoryUse::launcherRunning;
            }
        }
    }
    const std::filesystem::path profiles = layout.profilesFolder();
    if (existsAtAll(profiles)) {
        for (const auto& entry : std::filesystem::directory_iterator(profiles)) {
            if (existsAtAll(DataLayout::profileLock(entry.path()))) {
                return DataDirectoryUse::gameRunning;
            }
        }
    }
    return DataDirectoryUse::unused;
}

}  // namespace zarvo
