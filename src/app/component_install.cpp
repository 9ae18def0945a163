// Installation of a release into its slot: reuse or download of the core,
// download of the interface package, the stored answer, then publication.
#include "app/component_install.h"

#include <cstdint>
#include <string>
#include <system_error>

#include "app/bootstrap.h"
#include "app/bootstrap_state.h"
#include "app/update_check.h"
#include "app/update_manifest.h"
#include "install/archive_extract.h"
#include "install/component_ceilings.h"
#include "install/component_inventory.h"
#include "install/safe_path.h"
#include "log/logger.h"
#include "net/download.h"
#include "platform/files.h"
#include "storage/shared_files.h"
#include "storage/storage_lock.h"
#include "storage/storage_remove.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/json_read.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

void removeUnfinishedSlot(const Bootstrap& context, const std::filesystem::path& slotFolder, const std::string& slot) {
    // The cleanup takes the same lock before it deletes a slot, so a core
    // running from this folder keeps it.
    StorageLock lock = lockStorageFile(context.dataDir / "slot-locks" / (slot + ".lock"));
    if (!lock.held()) {
        throw Error("UPDATE_BUSY", "Папка обновления сейчас используется");
    }
    removeWithinStorage(context.dataDir, slotFolder);
}

// Links the active slot's core into the stage when it is the same release of
// the core and still intact. Any failure means the core is downloaded instead.
bool reuseActiveCore(const Bootstrap& context, const AcceptedUpdate& update, const std::filesystem::path& stage) {
    const std::string active = activeSlotOf(update.state);
    if (!isValidSlotName(active)) {
        return false;
    }
    const Json::Value& core = update.manifest["components"]["core"];
    bool reused = false;
    try {
        const auto activeFolder = context.dataDir / "slots" / active;
        Json::Value activeManifest = readUpdateManifest(context, readStoredAnswer(activeFolder));
        if (activeManifest["components"]["core"]["sha256"] != core["sha256"]) {
            return false;
        }
        ComponentLocks locks = verifyComponentFiles(activeFolder / "core", core["files"]);
        linkSharedFiles(activeFolder / "core", stage / "core", core["files"]);
        logMessage(LogLevel::Info, "storage.core-reused slot=" + active);
        reused = true;
    } catch (const std::exception&) {
        // Half-carried files must not mix with the extracted archive.
    }
    if (!reused) {
        removeWithinStorage(context.dataDir, stage / "core");
    }
    return reused;
}

void downloadCore(Bootstrap& context, const Json::Value& core, const std::filesystem::path& stage) {
    const auto target = context.dataDir / "downloads" / core["sha256"].asString();
    const DownloadProgress progress = [&context](std::uint64_t done, std::uint64_t total) {
        context.onDownloadProgress(done, total);
    };
    downloadArtifact(core, target, "", "", context.allowLoopbackHttp, &context.cancelRequested, progress,
                     kCoreSizeCeiling);
    extractArchive(target, stage / "core", kCoreSizeCeiling);
}

}  // namespace

std::filesystem::path installSlot(Bootstrap& context, const AcceptedUpdate& update) {
    const auto slotFolder = context.dataDir / "slots" / update.slot;
    if (std::filesystem::exists(std::filesystem::symlink_status(slotFolder / "manifest.json"))) {
        return slotFolder;
    }
    if (std::filesystem::exists(std::filesystem::symlink_status(slotFolder))) {
        removeUnfinishedSlot(context, slotFolder, update.slot);
    }
    const auto stage = context.dataDir / "slots" / (update.slot + "-stage-" + randomHexName());
    platform::createPrivateFolders(stage);
    context.reportStage("Загрузка приложения", 0.15);

    const Json::Value& core = update.manifest["components"]["core"];
    if (!reuseActiveCore(context, update, stage)) {
        downloadCore(context, core, stage);
    }
    // An entry that is not text is as unusable as an empty one.
    const auto entry = resolveInstallPath(stage / "core", readText(memberOf(core, "entry")).value_or(""));
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(entry))) {
        throw Error("LOCAL_ERROR", "Архив не содержит приложение");
    }

    context.reportStage("Загрузка интерфейса", 0.7);
    downloadArtifact(update.manifest["components"]["ui"], stage / "ui.rcc", "", "", context.allowLoopbackHttp,
                     &context.cancelRequested, DownloadProgress(), kInterfaceSizeCeiling);
    writeFileAtomic(stage / "manifest.json", writeCompactJson(update.answer));

    // Left behind for the cleanup rather than merged with what appeared.
    if (std::filesystem::exists(std::filesystem::symlink_status(slotFolder))) {
        throw Error("LOCAL_ERROR", "Папка версии уже существует без манифеста");
    }
    // An installed slot is never rebuilt, so its files must be on disk before its name is.
    try {
        platform::flushFolderTree(stage);
    } catch (const std::system_error& error) {
        logMessage(LogLevel::Warn, std::string("install.flush-failed ") + error.what());
        throw Error("LOCAL_ERROR", "Не удалось сохранить файл. Проверьте свободное место.");
    }
    if (std::error_code error = platform::moveFolderNoReplace(stage, slotFolder)) {
        throw std::filesystem::filesystem_error("rename", stage, slotFolder, error);
    }
    return slotFolder;
}

}  // namespace zarvo
