// The update flow: check, install, activate.
#include "app/bootstrap.h"

#include "app/activation.h"
#include "app/component_install.h"
#include "app/update_check.h"
#include "log/logger.h"
#include "storage/storage_lock.h"
#include "trust/error.h"

namespace zarvo {

void Bootstrap::run() {
    std::filesystem::create_directories(dataDir);
    if (hasOption("--self-replace")) {
        throw Error("LOCAL_ERROR", "Самообновление пока не поддерживается этой сборкой");
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
    // The hand-over to a newer pre-starter package is not built yet; this run
    // goes on with the installed pre-starter.
    if (hasOption("--no-launch")) {
        reportStage("Обновление проверено и подготовлено", 1.0);
        return;
    }
    activateSlot(*this, *update, slotFolder);
}

}  // namespace zarvo
