// The update flow: check, install, activate.
#include "app/bootstrap.h"

#include "app/activation.h"
#include "app/component_install.h"
#include "app/self_update_step.h"
#include "app/update_check.h"
#include "log/logger.h"
#include "platform/files.h"
#include "storage/storage_lock.h"
#include "trust/error.h"

namespace zarvo {

void Bootstrap::run() {
    platform::createPrivateFolders(dataDir);
    // The hand-over runs while the old pre-starter may still hold the update
    // lock, and it needs no service: it installs what it was started from.
    if (hasOption("--self-replace")) {
        completeSelfUpdate(*this);
        return;
    }

    // Held until the flow ends in any way; a second pre-starter on this data
    // directory stops at once instead of waiting.
    StorageLock updateLock = lockStorageFile(dataDir / "bootstrap.lock");
    if (!updateLock.held()) {
        throw Error("UPDATE_BUSY", "Обновление уже открыто в другом процессе");
    }

    auto update = checkForUpdate(*this);
    if (!update) {
        return;
    }
    logMessage(LogLevel::Info, "bootstrap.slot slot=" + update->slot);

    const auto slotFolder = installSlot(*this, *update);
    // Before the no-launch check: a prepared update hands over too, and the
    // new pre-starter receives "--no-launch".
    if (beginSelfUpdate(*this, update->manifest["components"], update->state)) {
        return;
    }
    if (hasOption("--no-launch")) {
        reportStage("Обновление проверено и подготовлено", 1.0);
        return;
    }
    activateSlot(*this, *update, slotFolder);
}

}  // namespace zarvo
