// Installation of a release into its slot: reuse or download of the core,
// download of the interface package, the stored answer, then publication.
#include "app/component_install.h"

#include <cstdint>
#include <string>
#include <system_error>

#include "app/bootstrap.h"
#include "app/core_delta.h"
#include "app/interface_package.h"
#include "app/update_check.h"
#include "install/archive_extract.h"
#include "install/component_ceilings.h"
#include "install/component_inventory.h"
#include "install/safe_path.h"
#include "log/logger.h"
#include "net/download.h"
#include "platform/files.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "storage/path_kind.h"
#include "storage/shared_files.h"
#include "storage/storage_lock.h"
#include "storage/path_guard.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

void removeUnfinishedSlot(const DataLayout& layout, const std::filesystem::path& slotFolder, const std::string& slot) {
    // The cleanup takes the same lock before it deletes a slot, so a core
    // running from this folder keeps it.
    StorageLock lock = lockStorageFile(layout.slotLock(slot));
    if (!lock.held()) {
        throw Error("UPDATE_BUSY", "Папка обновления сейчас используется");
    }
    removeWithinStorage(layout.root(), slotFolder);
}

// Links the active slot's core into the stage when it is the same release of
// the core and still intact. Any failure means the core is downloaded instead.
bool reuseActiveCore(const Bootstrap& context, const AcceptedUpdate& update, const std::filesystem::path& stage) {
    const std::string active = activeSlotOf(update.state);
    if (!isValidSlotName(active)) {
        return false;
    }
    const ReleaseComponent& core = update.manifest.core;
    bool reused = false;
    try {
        const auto activeFolder = DataLayout(context.dataDir).slotFolder(active);
        const UpdateManifest activeManifest = context.readManifest(readStoredAnswer(activeFolder));
        if (activeManifest.core.sha256() != core.sha256()) {
            return false;
        }
        ComponentLocks locks = verifyComponentFiles(slotCoreFolder(activeFolder), core.files());
        linkSharedFiles(slotCoreFolder(activeFolder), slotCoreFolder(stage), core.files());
        logMessage(LogLevel::Info, "storage.core-reused slot=" + active);
        reused = true;
    } catch (const std::exception&) {
        // Half-carried files must not mix with the extracted archive.
    }
    if (!reused) {
        removeWithinStorage(context.dataDir, slotCoreFolder(stage));
    }
    return reused;
}

void downloadCore(Bootstrap& context, const ReleaseComponent& core, const std::filesystem::path& stage) {
    const Artifact artifact = core.artifact();
    const auto target = DataLayout(context.dataDir).download(core.sha256());
    const DownloadProgress progress = [&context](std::uint64_t done, std::uint64_t total) {
        context.onDownloadProgress(done, total);
    };
    downloadArtifact(artifact, target, "", "", context.allowLoopbackHttp, &context.cancelRequested, progress,
                     kCoreSizeCeiling);
    extractArchive(target, slotCoreFolder(stage), kCoreSizeCeiling);
}

}  // namespace

std::filesystem::path installSlot(Bootstrap& context, const AcceptedUpdate& update) {
    const DataLayout layout(context.dataDir);
    const auto slotFolder = layout.slotFolder(update.slot);
    if (existsAtAll(slotManifestFile(slotFolder))) {
        return slotFolder;
    }
    if (existsAtAll(slotFolder)) {
        removeUnfinishedSlot(layout, slotFolder, update.slot);
    }
    const auto stage = layout.newStageFolder(update.slot);
    platform::createPrivateFolders(stage);
    context.reportStage("Загрузка приложения", 0.15);

    const ReleaseComponent& core = update.manifest.core;
    if (!reuseActiveCore(context, update, stage) && !updateCoreByRanges(context, update, stage)) {
        downloadCore(context, core, stage);
    }
    // An entry that is not text is as unusable as an empty one.
    const auto entry = resolveInstallPath(slotCoreFolder(stage), core.entry());
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(entry))) {
        throw Error("LOCAL_ERROR", "Архив не содержит приложение");
    }

    context.reportStage("Загрузка интерфейса", 0.7);
    installInterfacePackage(context, update, stage);
    writeFileAtomic(slotManifestFile(stage), writeCompactJson(update.answer));

    // Left behind for the cleanup rather than merged with what appeared.
    if (existsAtAll(slotFolder)) {
        throw Error("LOCAL_ERROR", "Папка версии уже существует без манифеста");
    }
    // An installed slot is never rebuilt, so its files must be on disk before its name is.
    try {
        platform::flushFolderTree(stage);
    } catch (const std::system_error& error) {
        logMessage(LogLevel::Warn, std::string("install.flush-failed ") + error.what());
        throw Error("LOCAL_ERROR", "Не удалось сохранить файл. Проверьте свободное место.");
    }
    moveFolderToNewName(stage, slotFolder);
    return slotFolder;
}

}  // namespace zarvo
