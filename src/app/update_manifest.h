// The update manifest: the signed payload of the service's answer, read once
// into a typed view. This file is the only reader of the manifest's members;
// the update flow, the launch, the self-update and the release tool ask it.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "net/download.h"

namespace zarvo {

// What a manifest must fit besides its signature.
struct ManifestRules {
    // "linux" or "windows": this program's platform, or another one for the
    // tools that publish releases for it.
    std::string platform;
    bool allowLoopbackHttp = false;
};

// Where one file's gzip member lies in the core archive.
struct FileRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// The core's "fileRanges" as far as an install may rely on it: ranges by file
// name when usable, else why not (a dotted word for the log).
struct FileRangeIndex {
    std::map<std::string, FileRange> ranges;
    std::string unusable;  // empty when usable

    bool usable() const noexcept { return unusable.empty(); }
};

// One component of a release ("core", "ui" or "bootstrap") as signed.
class ReleaseComponent {
public:
    ReleaseComponent() = default;
    explicit ReleaseComponent(Json::Value descriptor);

    // The "sha256" member as text; empty when missing or not text.
    const std::string& sha256() const noexcept { return sha256_; }
    // The program to start, relative to the unpacked component; empty when
    // missing or not text, which no install path accepts.
    const std::string& entry() const noexcept { return entry_; }
    // Whether the entry is text at all (an empty text included).
    bool hasTextEntry() const noexcept { return hasTextEntry_; }
    // The signed file list (relative path -> lowercase SHA-256), as signed;
    // verifyComponentFiles judges its shape.
    const Json::Value& files() const noexcept { return files_; }
    // The version as the log shows it; empty for anything but a plain value.
    std::string versionText() const;
    // Published for this program: coreApi 1 and a 64-character sha256.
    bool isPublished() const;
    // Where and how to fetch it. Raises "HASH_REQUIRED" "Артефакт должен иметь
    // контрольную сумму" (a missing or malformed digest; "sha256" wins over
    // "sha1" when present) or "LOCAL_ERROR" "Некорректный размер артефакта".
    Artifact artifact() const;
    // The signed "fileRanges" judged against "files" and "size": usable only
    // when it names exactly the files of the list, each [offset, length] with
    // a length above 0, every range inside the archive's size and no two
    // overlapping. "missing", "malformed", "not-the-file-list",
    // "outside-the-archive" or "overlapping" otherwise. Never raises.
    FileRangeIndex fileRanges() const;
    // The descriptor as signed, for checks that compare whole components.
    const Json::Value& descriptor() const noexcept { return descriptor_; }

private:
    Json::Value descriptor_;
    std::string sha256_;
    std::string entry_;
    bool hasTextEntry_ = false;
    Json::Value files_;
};

// An accepted manifest.
struct UpdateManifest {
    Json::Value payload;
    std::int64_t sequence = 0;
    ReleaseComponent core;
    ReleaseComponent ui;
    std::optional<ReleaseComponent> bootstrap;

    // The sha256 digests the release's files are downloaded under.
    std::set<std::string> downloadDigests() const;
};

// The members of the payload that break the manifest's rules, in name order
// ("components" for components or a component of another JSON type than an
// object; a missing core or ui is left to checkComponentsPublished); empty
// when it fits.
// Never raises.
std::vector<std::string> brokenManifestRules(const Json::Value& payload, const ManifestRules& rules);
// Opens the signed answer with the trust object and checks the manifest
// against the rules. Raises the envelope's errors, or "LOCAL_ERROR"
// "Манифест обновления несовместим".
UpdateManifest readUpdateManifest(const Json::Value& envelope, const Json::Value& codeTrust,
                                  const ManifestRules& rules);
// The sequence of a signed answer whatever else it holds (what a pre-starter
// that accepted it would have stored; a missing one is 0), or nullopt when it
// is not a 64-bit integer. Raises the envelope's errors.
std::optional<std::int64_t> signedSequence(const Json::Value& envelope, const Json::Value& codeTrust);
// Raises "LOCAL_ERROR" "Компоненты приложения ещё не опубликованы" unless core
// and ui are both published.
void checkComponentsPublished(const UpdateManifest& manifest);
// A download descriptor ("url", optional "size", "sha256" or "sha1") read with
// the rules of ReleaseComponent::artifact.
Artifact readArtifact(const Json::Value& descriptor);

// The answer stored as a slot's manifest.json, parsed but not verified: every
// use goes through readUpdateManifest. Raises the file's or the parser's error.
Json::Value readStoredAnswer(const std::filesystem::path& slotFolder);
// First 24 hex characters of the SHA-256 of the compact answer: any change of
// the answer, even outside the payload, names a new slot.
std::string slotNameFor(const Json::Value& envelope);

}  // namespace zarvo
