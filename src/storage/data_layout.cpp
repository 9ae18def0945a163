#include "storage/data_layout.h"

#include <algorithm>

#include "install/safe_path.h"
#include "platform/files.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSlotNameLength = 24;
constexpr std::size_t kDigestLength = 64;
constexpr std::size_t kBundleNameDigits = 24;
constexpr std::string_view kStageInfix = "-stage-";
constexpr std::string_view kSetAsideInfix = "-damaged-";
constexpr std::string_view kPartSuffix = ".part";
constexpr std::string_view kLockSuffix = ".lock";
constexpr std::string_view kUpdatePrefix = "update-";
constexpr std::string_view kPreviousPrefix = "previous-";

fs::path withSuffix(const fs::path& path, std::string_view suffix) {
    fs::path result = path;
    result += platform::pathFromUtf8(std::string(suffix));
    return result;
}

}  // namespace

fs::path DataLayout::stateFile() const { return root_ / "bootstrap-state.json"; }
fs::path DataLayout::codeTrustFile() const { return root_ / "code-trust.json"; }
fs::path DataLayout::settingsFile() const { return root_ / "settings.json"; }
fs::path DataLayout::updateLock() const { return root_ / "bootstrap.lock"; }
fs::path DataLayout::logFile() const { return root_ / "logs" / "bootstrap.log"; }
fs::path DataLayout::migrationRecord() const { return root_ / "storage-migration.json"; }
fs::path DataLayout::profilesFolder() const { return root_ / "profiles"; }
fs::path DataLayout::profileLock(const fs::path& profile) { return profile / "profile.lock"; }

fs::path DataLayout::slotsFolder() const { return root_ / "slots"; }
fs::path DataLayout::slotFolder(const std::string& slot) const { return slotsFolder() / platform::pathFromUtf8(slot); }
fs::path DataLayout::newStageFolder(const std::string& slot) const {
    return slotsFolder() / platform::pathFromUtf8(slot + std::string(kStageInfix) + randomHexName());
}
fs::path DataLayout::newSetAsideFolder(const std::string& slot) const {
    return slotsFolder() / platform::pathFromUtf8(slot + std::string(kSetAsideInfix) + randomHexName());
}
fs::path DataLayout::slotLocksFolder() const { return root_ / "slot-locks"; }
fs::path DataLayout::slotLock(const std::string& folderName) const {
    return slotLocksFolder() / platform::pathFromUtf8(folderName + std::string(kLockSuffix));
}

fs::path DataLayout::downloadsFolder() const { return root_ / "downloads"; }
fs::path DataLayout::download(const std::string& sha256) const {
    return downloadsFolder() / platform::pathFromUtf8(sha256);
}

fs::path DataLayout::bootstrapFolder() const { return resolveInstallPath(root_, "bootstrap"); }
fs::path DataLayout::currentBootstrap() const { return bootstrapFolder() / "current"; }
fs::path DataLayout::unpackedBundle(const std::string& sha256) const {
    return bootstrapFolder() / platform::pathFromUtf8(std::string(kUpdatePrefix) + sha256.substr(0, kBundleNameDigits));
}
fs::path DataLayout::unpackingFolderFor(const fs::path& unpacked) {
    return withSuffix(unpacked, "-unpacking-" + randomHexName());
}
fs::path DataLayout::setAsideFolderFor(const fs::path& unpacked) {
    return withSuffix(unpacked, "-damaged-" + randomHexName());
}
fs::path DataLayout::newCandidateFolder() const {
    return bootstrapFolder() / platform::pathFromUtf8("candidate-" + randomHexName());
}
fs::path DataLayout::newPreviousFolder() const {
    return bootstrapFolder() / platform::pathFromUtf8(std::string(kPreviousPrefix) + randomHexName());
}

fs::path slotManifestFile(const fs::path& slotFolder) { return slotFolder / "manifest.json"; }
fs::path slotCoreFolder(const fs::path& slotFolder) { return slotFolder / "core"; }
fs::path slotInterfacePackage(const fs::path& slotFolder) { return slotFolder / "ui.rcc"; }
fs::path slotReadyFile(const fs::path& slotFolder, const std::string& token) {
    return slotFolder / platform::pathFromUtf8("ready-" + token);
}

fs::path stageFetchFolder(const fs::path& stageFolder) { return stageFolder / "fetched"; }

fs::path partialDownloadOf(const fs::path& target) { return withSuffix(target, kPartSuffix); }
fs::path downloadLockOf(const fs::path& target) { return withSuffix(target, kLockSuffix); }

bool isValidSlotName(const std::string& name) {
    return !name.empty() && name.size() <= 80 &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") == std::string::npos;
}

bool isSlotOrStageName(std::string_view name) {
    if (name.size() == kSlotNameLength) {
        return isLowerHex(name);
    }
    // A stage or set-aside folder with a suffix of any kind and at least one character.
    if (!isLowerHex(name.substr(0, std::min(name.size(), kSlotNameLength)))) {
        return false;
    }
    for (std::string_view infix : {kStageInfix, kSetAsideInfix}) {
        if (name.size() > kSlotNameLength + infix.size() && name.substr(kSlotNameLength, infix.size()) == infix) {
            return true;
        }
    }
    return false;
}

bool isDownloadName(std::string_view name) {
    if (name.size() == kDigestLength) {
        return isLowerHex(name);
    }
    return name.size() == kDigestLength + kPartSuffix.size() && isLowerHex(name.substr(0, kDigestLength)) &&
           name.substr(kDigestLength) == kPartSuffix;
}

bool isPartialDownloadName(std::string_view name) {
    return isDownloadName(name) && name.size() == kDigestLength + kPartSuffix.size();
}

std::string downloadDigestOf(std::string_view downloadName) {
    return std::string(downloadName.substr(0, kDigestLength));
}

bool isSelfUpdateLeftover(std::string_view name) {
    return isPreviousBootstrapName(name) || name.starts_with("candidate-") || isUnpackedBundleName(name);
}

bool isPreviousBootstrapName(std::string_view name) { return name.starts_with(kPreviousPrefix); }

bool isUnpackedBundleName(std::string_view name) { return name.starts_with(kUpdatePrefix); }

}  // namespace zarvo
