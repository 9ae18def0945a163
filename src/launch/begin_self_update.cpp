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
#include "storage/path_kind.h"
#include "trust/error.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBundleNameDigits = 24;

// The package's digest names its download and its folder, so it must be the
// digest form that the download itself insists on; the entry must be text.
void checkDescriptor(const Json::Value& bundle) {
    if (!bundle.isObject() || !bundle["entry"].isString()) {
        throw Error("LOCAL_ERROR", "Манифест обновления несовместим");
    }
    if (artifactDigest(bundle).algorithm != "sha256") {
        throw Error("HASH_REQUIRED", "Артефакт должен иметь контрольную сумму");
    }
}

std::string recordedHash(const Json::Value& state) {
    const Json::Value& hash = state["bootstrapHash"];
    return hash.isString() ? hash.asString() : std::string();
}

// An existing "update-" folder is used as it is. It can only be complete: the
// archive is unpacked under a private name that the cleanup also removes, and
// published by one rename, so a crash mid-way never leaves a half bundle there.
fs::path unpackBundle(const fs::path& dataDir, const fs::path& archive, const std::string& sha256) {
    // Links inside the data directory are refused; where the directory itself lies is the user's choice.
    const fs::path folder = resolveInstallPath(dataDir, "bootstrap");
    const std::string name = "update-" + sha256.substr(0, kBundleNameDigits);
    const fs::path unpacked = folder / name;
    if (existsAtAll(unpacked)) {
        logMessage(LogLevel::Info, "self-update.unpack-reused folder=" + platform::pathToGenericUtf8(unpacked));
        return unpacked;
    }
    const fs::path partial = folder / (name + "-unpacking-" + randomHexName());
    extractArchive(archive, partial, kBundleSizeCeiling);
    if (std::error_code error = platform::moveFolderNoReplace(partial, unpacked)) {
        throw fs::filesystem_error("rename", partial, unpacked, error);
    }
    logMessage(LogLevel::Info, "self-update.unpacked folder=" + platform::pathToGenericUtf8(unpacked));
    return unpacked;
}

}  // namespace

bool beginSelfUpdate(const SelfUpdateContext& context, const Json::Value& components, const Json::Value& state) {
    const Json::Value& bundle = components["bootstrap"];
    if (bundle.isNull() || context.options->count("--no-self-update") != 0) {
        return false;
    }
    checkDescriptor(bundle);
    const std::string sha256 = bundle["sha256"].asString();
    if (sha256 == recordedHash(state)) {
        return false;
    }
    const std::string entry = bundle["entry"].asString();

    context.reportStage("Обновление престартера", 0.8);
    logMessage(LogLevel::Info, "self-update.begin bundle=" + sha256 + " entry=" + entry);
    const fs::path archive = context.dataDir / "downloads" / sha256;
    downloadArtifact(bundle, archive, "", "", context.allowLoopbackHttp, context.cancelRequested, DownloadProgress(),
                     kBundleSizeCeiling);
    const fs::path unpacked = unpackBundle(context.dataDir, archive, sha256);

    const fs::path executable = resolveInstallPath(unpacked, entry);
    const fs::path target = resolveInstallPath(context.dataDir / "bootstrap" / "current", entry);
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
