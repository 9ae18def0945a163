// The data directory's layout: every folder, file and name pattern the
// pre-starter keeps there. Nothing else spells a name of the data directory.
//
//   bootstrap-state.json   what the pre-starter remembers between runs
//   code-trust.json        the trust the last accepted release was checked with
//   settings.json          the user's settings (read only)
//   bootstrap.lock         held for a whole update flow
//   logs/bootstrap.log     the log and its backup
//   slots/<slot>           installed releases; <slot>-stage-<random> while built
//   slot-locks/<name>.lock held while a core runs from the slot
//   downloads/<sha256>     verified downloads, with .part and .lock beside them
//   bootstrap/current      the installed pre-starter; update-<24 hex> unpacked
//                          bundles, candidate-/previous- folders of a hand-over
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zarvo {

class DataLayout {
public:
    explicit DataLayout(std::filesystem::path dataDir) : root_(std::move(dataDir)) {}

    const std::filesystem::path& root() const noexcept { return root_; }

    std::filesystem::path stateFile() const;
    std::filesystem::path codeTrustFile() const;
    std::filesystem::path settingsFile() const;
    std::filesystem::path updateLock() const;
    std::filesystem::path logFile() const;
    // Written into the old folder just before a move of the data directory.
    std::filesystem::path migrationRecord() const;
    // The game's profiles; a "profile.lock" in one means the game runs.
    std::filesystem::path profilesFolder() const;
    static std::filesystem::path profileLock(const std::filesystem::path& profile);

    std::filesystem::path slotsFolder() const;
    std::filesystem::path slotFolder(const std::string& slot) const;
    // A new private name beside the slot, published by one rename.
    std::filesystem::path newStageFolder(const std::string& slot) const;
    std::filesystem::path slotLocksFolder() const;
    // A new name beside the slot for its damaged folder, which the cleanup removes.
    std::filesystem::path newSetAsideFolder(const std::string& slot) const;
    // The lock of a slot or stage folder, by its folder name.
    std::filesystem::path slotLock(const std::string& folderName) const;

    std::filesystem::path downloadsFolder() const;
    std::filesystem::path download(const std::string& sha256) const;

    // "bootstrap", refusing a link inside the data directory on the way;
    // where the directory itself lies is the user's choice. Raises like
    // resolveInstallPath.
    std::filesystem::path bootstrapFolder() const;
    std::filesystem::path currentBootstrap() const;
    // Where a bundle with this sha256 is unpacked.
    std::filesystem::path unpackedBundle(const std::string& sha256) const;
    // A private name beside an unpacked bundle for unpacking it; the cleanup removes it.
    static std::filesystem::path unpackingFolderFor(const std::filesystem::path& unpacked);
    // A leftover name an unpacked bundle that no longer matches its file list
    // is moved to, so that it is unpacked afresh; the cleanup removes it.
    static std::filesystem::path setAsideFolderFor(const std::filesystem::path& unpacked);
    std::filesystem::path newCandidateFolder() const;
    std::filesystem::path newPreviousFolder() const;

private:
    std::filesystem::path root_;
};

// Inside a slot folder.
std::filesystem::path slotManifestFile(const std::filesystem::path& slotFolder);
std::filesystem::path slotCoreFolder(const std::filesystem::path& slotFolder);
std::filesystem::path slotInterfacePackage(const std::filesystem::path& slotFolder);
std::filesystem::path slotReadyFile(const std::filesystem::path& slotFolder, const std::string& token);
// Inside a stage folder only: bytes fetched while it is built, removed before it is published.
std::filesystem::path stageFetchFolder(const std::filesystem::path& stageFolder);

// Beside any download target: its partial file and its lock.
std::filesystem::path partialDownloadOf(const std::filesystem::path& target);
std::filesystem::path downloadLockOf(const std::filesystem::path& target);

// 1 to 80 characters of a-z, 0-9, "-" and "_"; checked before a stored name becomes a folder.
bool isValidSlotName(const std::string& name);
// The names this program gives, judged by name alone (lower-case hex only:
// a name with "A" to "F" was not written by this program).
// A slot (24 hex), its stage folder, or a damaged slot set aside.
bool isSlotOrStageName(std::string_view name);
// A finished download (64 hex) or its partial file; not its lock.
bool isDownloadName(std::string_view name);
// A partial download (64 hex + its suffix).
bool isPartialDownloadName(std::string_view name);
// The download name a lock stands beside: the digest of a download or partial file name.
std::string downloadDigestOf(std::string_view downloadName);
// What a hand-over leaves in "bootstrap" besides "current".
bool isSelfUpdateLeftover(std::string_view name);
// An unpacked bundle's folder ("update-…", checked against its file list before use).
bool isUnpackedBundleName(std::string_view name);
// An installed pre-starter moved aside by a hand-over ("previous-…").
bool isPreviousBootstrapName(std::string_view name);

}  // namespace zarvo
