// Installation of a release into its slot: reuse or download of the core,
// download of the interface package, the stored answer, then publication.
#include "app/component_install.h"

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

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
#include "platform/file_entries.h"
#include "platform/files.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "storage/path_guard.h"
#include "storage/path_kind.h"
#include "storage/shared_files.h"
#include "storage/storage_lock.h"
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
    } catch (const std::exception& error) {
        // Half-carried files must not mix with the extracted archive.
        logMessage(LogLevel::Warn, std::string("storage.core-reuse-failed slot=") + active + " " + error.what());
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


// Builds the release in a new private stage folder beside its slot and
// returns it flushed to disk. An install carries an unchanged core from the
// active slot or builds a changed one by ranges; a repair carries what the
// damaged slot still holds intact and fetches the rest by ranges. Either way
// the whole archive is the fall-back. A failure removes what this run wrote
// of the stage, so a full disk is not left full by the pre-starter's own
// leftovers.
std::filesystem::path buildStage(Bootstrap& context, const AcceptedUpdate& update,
                                 const std::filesystem::path* damagedSlot) {
    const DataLayout layout(context.dataDir);
    const auto stage = layout.newStageFolder(update.slot);
    try {
        platform::createPrivateFolders(stage);
        context.reportStage("Загрузка приложения", 0.15);

        const ReleaseComponent& core = update.manifest.core;
        const bool built =
            damagedSlot != nullptr
                ? buildCoreByRanges(context, core, stage, {CarrySource{slotCoreFolder(*damagedSlot), core.files(), nullptr}})
                : reuseActiveCore(context, update, stage) || updateCoreByRanges(context, update, stage);
        if (!built) {
            downloadCore(context, core, stage);
        }
        // An entry that is not text is as unusable as an empty one.
        const auto entry = resolveInstallPath(slotCoreFolder(stage), core.entry());
        if (platform::entryKind(entry) != platform::EntryKind::file) {
            throw Error("LOCAL_ERROR", "Архив не содержит приложение");
        }

        context.reportStage("Загрузка интерфейса", 0.7);
        installInterfacePackage(context, update, stage);
        writeFileAtomic(slotManifestFile(stage), writeCompactJson(update.answer));

        // An installed slot is never rebuilt, so its files must be on disk before its name is.
        try {
            platform::flushFolderTree(stage);
        } catch (const std::system_error& error) {
            logMessage(LogLevel::Warn, std::string("install.flush-failed ") + error.what());
            if (platform::isOutOfSpace(error.code())) {
                failDiskFull();
            }
            throw Error("LOCAL_ERROR", "Не удалось сохранить файл. Проверьте свободное место.");
        }
    } catch (...) {
        tryRemoveWithinStorage(context.dataDir, stage);
        throw;
    }
    return stage;
}

// What of the slot's core no longer matches its inventory, as "/"-separated
// names; empty when nothing is damaged (a file merely held by a writer, say).
std::vector<std::string> damagedCoreFiles(const AcceptedUpdate& update, const std::filesystem::path& slotFolder) {
    try {
        return findDamagedFiles(slotCoreFolder(slotFolder), update.manifest.core.files());
    } catch (const std::exception& error) {
        logMessage(LogLevel::Warn, std::string("install.repair-check-failed ") + error.what());
        return {};
    }
}

std::string joinedNames(const std::vector<std::string>& names) {
    constexpr std::size_t kShown = 20;
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i) {
        text += (i == 0 ? "" : ",") + names[i];
    }
    if (names.size() > kShown) {
        text += ",…(" + std::to_string(names.size()) + ")";
    }
    return text;
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
    const auto stage = buildStage(context, update, nullptr);
    // Left behind for the cleanup rather than merged with what appeared.
    if (existsAtAll(slotFolder)) {
        throw Error("LOCAL_ERROR", "Папка версии уже существует без манифеста");
    }
    moveFolderToNewName(stage, slotFolder);
    return slotFolder;
}

bool repairSlot(Bootstrap& context, const AcceptedUpdate& update) {
    const DataLayout layout(context.dataDir);
    const auto slotFolder = layout.slotFolder(update.slot);
    const std::vector<std::string> damaged = damagedCoreFiles(update, slotFolder);
    if (damaged.empty()) {
        return false;
    }
    // No core may run from the folder that is set aside.
    StorageLock lock = lockStorageFile(layout.slotLock(update.slot));
    if (!lock.held()) {
        return false;
    }
    logMessage(LogLevel::Warn, "install.repair slot=" + update.slot + " files=" + joinedNames(damaged));
    // Built afresh: a file the damaged slot shares by hard link with another
    // slot is replaced here, never written through.
    const auto stage = buildStage(context, update, &slotFolder);
    // Between the two renames the slot is missing, which the next run installs anew.
    moveFolderToNewName(slotFolder, layout.newSetAsideFolder(update.slot));
    moveFolderToNewName(stage, slotFolder);
    logMessage(LogLevel::Info, "install.repaired slot=" + update.slot);
    return true;
}

void dropPartialDownloads(Bootstrap& context, const AcceptedUpdate& update) {
    const DataLayout layout(context.dataDir);
    for (const std::string& digest : update.manifest.downloadDigests()) {
        const auto partial = partialDownloadOf(layout.download(digest));
        if (existsAtAll(partial)) {
            logMessage(LogLevel::Warn, "install.partial-dropped " + platform::pathToGenericUtf8(partial));
            tryRemoveWithinStorage(context.dataDir, partial);
        }
    }
}

}  // namespace zarvo
