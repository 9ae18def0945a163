#include "app/interface_package.h"

#include "app/bootstrap.h"
#include "app/update_check.h"
#include "install/component_ceilings.h"
#include "log/logger.h"
#include "net/download.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "storage/shared_files.h"

namespace zarvo {
namespace {

// The active slot's package when it is this one and still intact.
bool reuseActivePackage(const Bootstrap& context, const AcceptedUpdate& update, const std::filesystem::path& stage) {
    const std::string active = activeSlotOf(update.state);
    if (!isValidSlotName(active)) {
        return false;
    }
    try {
        const auto activeFolder = DataLayout(context.dataDir).slotFolder(active);
        const UpdateManifest activeManifest = context.readManifest(readStoredAnswer(activeFolder));
        if (activeManifest.ui.sha256() != update.manifest.ui.sha256()) {
            return false;
        }
        linkVerifiedFile(slotInterfacePackage(activeFolder), slotInterfacePackage(stage), update.manifest.ui.sha256());
        logMessage(LogLevel::Info, "storage.interface-reused slot=" + active);
        return true;
    } catch (const std::exception& error) {
        logMessage(LogLevel::Info, std::string("storage.interface-not-reused ") + error.what());
        return false;
    }
}

}  // namespace

void installInterfacePackage(Bootstrap& context, const AcceptedUpdate& update, const std::filesystem::path& stage) {
    if (reuseActivePackage(context, update, stage)) {
        return;
    }
    const Artifact artifact = update.manifest.ui.artifact();
    // The cache is named by SHA-256 alone; a package known by SHA-1 only goes
    // straight into the stage as before.
    if (artifact.digest.algorithm != "sha256") {
        downloadArtifact(artifact, slotInterfacePackage(stage), "", "", context.allowLoopbackHttp,
                         &context.cancelRequested, DownloadProgress(), kInterfaceSizeCeiling);
        return;
    }
    const auto cached = DataLayout(context.dataDir).download(artifact.digest.value);
    downloadArtifact(artifact, cached, "", "", context.allowLoopbackHttp, &context.cancelRequested,
                     DownloadProgress(), kInterfaceSizeCeiling);
    linkVerifiedFile(cached, slotInterfacePackage(stage), artifact.digest.value);
}

}  // namespace zarvo
