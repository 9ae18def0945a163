// The run context: the update flow (check, install, activate) and the stage
// reports that every step of it makes.
#include "app/bootstrap.h"

#include <iostream>

#include "app/activation.h"
#include "app/component_install.h"
#include "app/update_check.h"
#include "build_config.h"
#include "log/logger.h"
#include "platform/files.h"
#include "platform/user_settings.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "storage/storage_lock.h"
#include "trust/error.h"

namespace zarvo {
namespace {

constexpr auto kThrottle = std::chrono::milliseconds(80);

// A release that cannot be installed now (a broken publication, a full disk)
// never keeps a player from the version that works; the next run tries again
// and resumes the downloads. Returns false when nothing else may start.
bool startInstalledInstead(Bootstrap& context, const AcceptedUpdate& update, const Error& failure) {
    if (failure.code() == "CANCELLED" || failure.code() == "UPDATE_BUSY" ||
        !canStartInstalledVersion(context, update.state) || activeSlotOf(update.state) == update.slot) {
        return false;
    }
    logMessage(LogLevel::Warn, "install.failed slot=" + update.slot + " code=" + failure.code() +
                                   " message=" + failure.what());
    if (failure.code() == "DISK_FULL") {
        // The installed core needs room to run more than a later run needs a
        // head start on its download.
        dropPartialDownloads(context, update);
    }
    startInstalledVersion(context, update.state);
    return true;
}

}  // namespace

Bootstrap::Bootstrap() : serviceUrl(build::kDefaultServiceUrl) {}

void Bootstrap::run() {
    platform::createPrivateFolders(dataDir);
    // The hand-over runs while the old pre-starter may still hold the update
    // lock, and it needs no service: it installs what it was started from.
    if (hasOption("--self-replace")) {
        completeSelfUpdate(selfUpdateContext());
        return;
    }

    // Held until the flow ends in any way; a second pre-starter on this data
    // directory stops at once instead of waiting.
    StorageLock updateLock = lockStorageFile(DataLayout(dataDir).updateLock());
    if (!updateLock.held()) {
        throw Error("UPDATE_BUSY", "Обновление уже открыто в другом процессе");
    }

    auto update = checkForUpdate(*this);
    if (!update) {
        return;
    }
    logMessage(LogLevel::Info, "bootstrap.slot slot=" + update->slot);

    std::filesystem::path slotFolder;
    try {
        slotFolder = installSlot(*this, *update);
    } catch (const Error& error) {
        if (!startInstalledInstead(*this, *update, error)) {
            throw;
        }
        return;
    }
    // Before the no-launch check: a prepared update hands over too, and the
    // new pre-starter receives "--no-launch".
    if (beginSelfUpdate(selfUpdateContext(), update->manifest.bootstrap, update->state)) {
        return;
    }
    if (hasOption("--no-launch")) {
        reportStage("Обновление проверено и подготовлено", 1.0);
        return;
    }
    activateSlot(*this, *update, slotFolder);
}

void Bootstrap::reportStage(const std::string& text, double fraction) {
    if (cancelRequested.load()) {
        throw Error("CANCELLED", "Обновление отменено");
    }
    auto now = std::chrono::steady_clock::now();
    bool changed = text != lastStageText;
    if (!changed && fraction < 1.0 && now - lastStageTime < kThrottle) {
        return;
    }
    if (changed) {
        logMessage(LogLevel::Info, "bootstrap.stage " + text);
    }
    lastStageText = text;
    lastStageTime = now;
    if (onProgress) {
        onProgress(text, fraction);
    }
    if (headless && changed) {
        std::cout << text << '\n' << std::flush;
    }
}

void Bootstrap::onDownloadProgress(std::uint64_t done, std::uint64_t total) {
    if (total == 0) {
        return;
    }
    reportStage("Загрузка приложения", static_cast<double>(done) * 0.5 / static_cast<double>(total) + 0.15);
}

UpdateManifest Bootstrap::readManifest(const Json::Value& envelope) const {
    return readUpdateManifest(envelope, codeTrust, ManifestRules{platform::kPlatformName, allowLoopbackHttp});
}

LaunchContext Bootstrap::launchContext() {
    LaunchContext launch;
    launch.dataDir = dataDir;
    launch.allowLoopbackHttp = allowLoopbackHttp;
    launch.debug = hasOption("--debug");
    launch.cancelRequested = &cancelRequested;
    launch.readManifest = [this](const Json::Value& envelope) { return readManifest(envelope); };
    launch.reportStage = [this](const std::string& text, double fraction) { reportStage(text, fraction); };
    return launch;
}

SelfUpdateContext Bootstrap::selfUpdateContext() {
    SelfUpdateContext update;
    update.dataDir = dataDir;
    update.serviceUrl = serviceUrl;
    update.options = &options;
    update.allowLoopbackHttp = allowLoopbackHttp;
    update.headless = headless;
    update.cancelRequested = &cancelRequested;
    update.reportStage = [this](const std::string& text, double fraction) { reportStage(text, fraction); };
    return update;
}

}  // namespace zarvo
