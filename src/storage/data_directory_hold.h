// The locks that keep every pre-starter and launcher core out of a whole data
// directory while it is moved or removed, and the test that nothing uses it.
#pragma once

#include <vector>

#include "storage/data_layout.h"
#include "storage/storage_lock.h"

namespace zarvo {

// Members are destroyed in reverse, so the slot locks go before "bootstrap.lock".
struct DataDirectoryHold {
    StorageLock bootstrapLock;
    std::vector<StorageLock> slotLocks;
};

enum class DataDirectoryUse {
    unused,           // the hold has every lock
    updating,         // another pre-starter holds "bootstrap.lock"
    launcherRunning,  // a core holds the lock of its slot
    gameRunning,      // a game profile holds its lock file
};

// Takes "bootstrap.lock" (creating it), then every lock under "slot-locks",
// then looks for a game profile's lock file, whose presence alone counts: the
// game leaves it while it runs. Stops at the first sign of use and returns it;
// the hold then keeps what it got, which the caller drops. Raises
// "STORAGE_LOCK_FAILED", "GUARD_UNSAFE_PATH" and the file system's errors.
DataDirectoryUse holdUnused(const DataLayout& layout, DataDirectoryHold& hold);

}  // namespace zarvo
