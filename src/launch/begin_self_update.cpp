// The old side of the hand-over: bring the new bundle in, unpack it (again
// when what is there no longer matches its file list), and start its
// pre-starter in self-replacement mode, unless its hand-overs keep failing.
#include <cstdint>
#include <string>

#include "install/archive_extract.h"
#include "install/component_ceilings.h"
#include "install/component_inventory.h"
#include "install/safe_path.h"
#include "launch/self_update.h"
#include "launch/start_process.h"
#include "log/logger.h"
#include "net/download.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "storage/path_kind.h"
#include "trust/error.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// The package's digest names its download and its folder, so it must be the
// digest form that the download itself insists on; the entry must be text.
Artifact checkDescriptor(const ReleaseComponent& bundle) {
    if (!bundle.hasTextEntry()) {
        throw Error("LOCAL_ERROR", "Манифест обновления несовместим");
    }
    Artifact artifact = bundle.artifact();
    if (artifact.digest.algorithm != "sha256") {
        throw Error("HASH_REQUIRED", "Артефакт должен иметь контрольную сумму");
    }
    return artifact;
}

bool hasInventory(const ReleaseComponent& bundle) {
    return bundle.files().isObject() && !bundle.files().empty();
}

// Unpacks under a private name, flushes the tree and publishes it with one
// rename, so a crash or a power cut never leaves a half bundle under the
// bundle's name. A verified archive that cannot be unpacked is recorded as
// refused (a full disk aside): it is the same bytes every time, so only a
// release with another bundle is tried again.
void unpackAfresh(const DataLayout& layout, const fs::path& archive, const std::string& sha256,
                  const fs::path& unpacked) {
    const fs::path partial = DataLayout::unpackingFolderFor(unpacked);
    try {
        extractArchive(archive, partial, kBundleSizeCeiling);
    } catch (const Error& error) {
        if (error.code() != "EXTRACT_WRITE_FAILED") {
            changeBootstrapState(layout.root(),
                                 [&sha256](Json::Value& state) { recordHandOverRefused(state, sha256); });
            logMessage(LogLevel::Warn, "self-update.refused bundle=" + sha256 + " reason=" + error.what());
        }
        throw;
    }
    platform::flushFolderTree(partial);
    moveFolderToNewName(partial, unpacked);
    logMessage(LogLevel::Info, "self-update.unpacked folder=" + platform::pathToGenericUtf8(unpacked));
}

// The unpacked bundle, checked against the signed file list and held as
// checked until its program has started. A folder that no longer matches (an
// empty file after a power cut, a program taken away by an antivirus) is set
// aside and unpacked afresh; without a file list nothing proves an existing
// folder whole, so it is always unpacked afresh.
ComponentLocks checkedBundle(const DataLayout& layout, const fs::path& archive, const ReleaseComponent& bundle,
                             const std::string& sha256, const fs::path& unpacked) {
    const bool inventory = hasInventory(bundle);
    if (existsAtAll(unpacked)) {
        std::string reason = "no-file-list";
        if (inventory) {
            try {
                ComponentLocks locks = verifyComponentFiles(unpacked, bundle.files());
                logMessage(LogLevel::Info, "self-update.unpack-reused folder=" + platform::pathToGenericUtf8(unpacked));
                return locks;
            } catch (const Error& error) {
                reason = error.what();
            }
        }
        const fs::path aside = DataLayout::setAsideFolderFor(unpacked);
        moveFolderToNewName(unpacked, aside);
        logMessage(inventory ? LogLevel::Warn : LogLevel::Info,
                   "self-update.unpack-set-aside folder=" + platform::pathToGenericUtf8(aside) + " reason=" + reason);
    }
    unpackAfresh(layout, archive, sha256, unpacked);
    if (!inventory) {
        logMessage(LogLevel::Warn, "self-update.no-file-list bundle=" + sha256);
        return ComponentLocks();
    }
    try {
        return verifyComponentFiles(unpacked, bundle.files());
    } catch (const Error& error) {
        // The signed list does not describe the signed archive: this bundle never installs.
        changeBootstrapState(layout.root(), [&sha256](Json::Value& state) { recordHandOverRefused(state, sha256); });
        logMessage(LogLevel::Warn, "self-update.refused bundle=" + sha256 + " reason=" + error.what());
        throw;
    }
}

}  // namespace

bool beginSelfUpdate(const SelfUpdateContext& context, const std::optional<ReleaseComponent>& bundle,
                     const Json::Value& state) {
    if (!bundle || context.options->count("--no-self-update") != 0) {
        return false;
    }
    const Artifact artifact = checkDescriptor(*bundle);
    const std::string& sha256 = artifact.digest.value;
    if (sha256 == bootstrapHashOf(state)) {
        return false;
    }
    // A bundle whose hand-over keeps failing is left alone, so the release
    // still starts; another bundle in a later release is tried afresh.
    if (const int failed = failedHandOversOf(state, sha256); failed >= kHandOverAttemptLimit) {
        logMessage(LogLevel::Warn,
                   "self-update.skipped bundle=" + sha256 + " failedAttempts=" + std::to_string(failed));
        return false;
    }
    const std::string& entry = bundle->entry();
    const DataLayout layout(context.dataDir);

    context.reportStage("Обновление престартера", 0.8);
    logMessage(LogLevel::Info, "self-update.begin bundle=" + sha256 + " entry=" + entry);
    const fs::path archive = layout.download(sha256);
    downloadArtifact(artifact, archive, "", "", context.allowLoopbackHttp, context.cancelRequested, DownloadProgress(),
                     kBundleSizeCeiling);
    const fs::path unpacked = layout.unpackedBundle(sha256);
    ComponentLocks checked = checkedBundle(layout, archive, *bundle, sha256, unpacked);

    const fs::path executable = resolveInstallPath(unpacked, entry);
    const fs::path target = resolveInstallPath(layout.currentBootstrap(), entry);
    platform::createPrivateFolders(target.parent_path());

    const std::string parent = std::to_string(platform::currentProcessId());
    std::vector<std::string> arguments = forwardedOptions(context);
    arguments.insert(arguments.end(), {"--self-replace", platform::pathToGenericUtf8(target), "--parent", parent,
                                       "--self-hash", sha256, "--self-entry", entry, "--bundle-root",
                                       platform::pathToGenericUtf8(unpacked)});
    logMessage(LogLevel::Info, "self-update.handover executable=" + platform::pathToGenericUtf8(executable) +
                                   " target=" + platform::pathToGenericUtf8(target) + " parent=" + parent);
    // Counted before the start: the new side clears it once it has installed
    // itself, so whatever stops it on the way counts as a failed hand-over.
    changeBootstrapState(context.dataDir, [&sha256](Json::Value& state) { recordHandOverAttempt(state, sha256); });
    // The new pre-starter waits for this process to end; nothing waits for it.
    startProcess(executable, arguments).close();
    return true;
}

}  // namespace zarvo
