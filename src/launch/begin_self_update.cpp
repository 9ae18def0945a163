// The old side of the hand-over: bring the new bundle in, unpack it once, and
// start its pre-starter in self-replacement mode.
#include <cstdint>
#include <string>

#include "install/archive_extract.h"
#include "install/component_ceilings.h"
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

// An existing "update-" folder is used as it is. It can only be complete: the
// archive is unpacked under a private name that the cleanup also removes, and
// published by one rename, so a crash mid-way never leaves a half bundle there.
fs::path unpackBundle(const DataLayout& layout, const fs::path& archive, const std::string& sha256) {
    const fs::path unpacked = layout.unpackedBundle(sha256);
    if (existsAtAll(unpacked)) {
        logMessage(LogLevel::Info, "self-update.unpack-reused folder=" + platform::pathToGenericUtf8(unpacked));
        return unpacked;
    }
    const fs::path partial = DataLayout::unpackingFolderFor(unpacked);
    extractArchive(archive, partial, kBundleSizeCeiling);
    moveFolderToNewName(partial, unpacked);
    logMessage(LogLevel::Info, "self-update.unpacked folder=" + platform::pathToGenericUtf8(unpacked));
    return unpacked;
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
    const std::string& entry = bundle->entry();
    const DataLayout layout(context.dataDir);

    context.reportStage("Обновление престартера", 0.8);
    logMessage(LogLevel::Info, "self-update.begin bundle=" + sha256 + " entry=" + entry);
    const fs::path archive = layout.download(sha256);
    downloadArtifact(artifact, archive, "", "", context.allowLoopbackHttp, context.cancelRequested, DownloadProgress(),
                     kBundleSizeCeiling);
    const fs::path unpacked = unpackBundle(layout, archive, sha256);

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
    // The new pre-starter waits for this process to end; nothing waits for it.
    startProcess(executable, arguments).close();
    return true;
}

}  // namespace zarvo
