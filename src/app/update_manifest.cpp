#include "app/update_manifest.h"

#include <algorithm>

#include "net/url_policy.h"
#include "platform/user_settings.h"
#include "storage/data_layout.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

// Text members are compared as JSON values, so a number where text belongs
// fails; members of the wrong type fail their rule instead of raising.
bool isText(const Json::Value& value, const std::string& expected) { return value == Json::Value(expected); }

bool isInteger(const Json::Value& value, Json::Int64 expected) { return readInteger(value) == expected; }

bool isAllowedUrlText(const Json::Value& value, bool allowLoopbackHttp) {
    auto url = readText(value);
    return url && isAllowedUrl(*url, allowLoopbackHttp);
}

// A component is an object or not there at all. A missing core or ui is a
// release half published, which the readiness check reports after the sequence
// is stored; only a value of another JSON type makes the manifest unreadable.
bool isComponent(const Json::Value& components, const char* name) {
    const Json::Value& component = memberOf(components, name);
    return component.isObject() || component.isNull();
}

bool hasComponents(const Json::Value& manifest) {
    const Json::Value& components = memberOf(manifest, "components");
    if (components.isNull()) {
        return true;
    }
    return components.isObject() && isComponent(components, "core") && isComponent(components, "ui") &&
           isComponent(components, "bootstrap");
}

}  // namespace

ReleaseComponent::ReleaseComponent(Json::Value descriptor) : descriptor_(std::move(descriptor)) {
    sha256_ = readText(memberOf(descriptor_, "sha256")).value_or("");
    const Json::Value& entry = memberOf(descriptor_, "entry");
    hasTextEntry_ = entry.isString();
    entry_ = hasTextEntry_ ? entry.asString() : std::string();
    files_ = memberOf(descriptor_, "files");
}

std::string ReleaseComponent::versionText() const {
    const Json::Value& version = memberOf(descriptor_, "version");
    return version.isObject() || version.isArray() ? std::string() : version.asString();
}

bool ReleaseComponent::isPublished() const {
    return readInteger(memberOf(descriptor_, "coreApi")) == 1 && sha256_.size() == 64;
}

Artifact ReleaseComponent::artifact() const { return readArtifact(descriptor_); }

FileRangeIndex ReleaseComponent::fileRanges() const {
    const Json::Value& ranges = memberOf(descriptor_, "fileRanges");
    const Json::Value& size = memberOf(descriptor_, "size");
    if (ranges.isNull()) {
        return FileRangeIndex{{}, "missing"};
    }
    if (!ranges.isObject() || !files_.isObject() || ranges.empty() || !size.isUInt64()) {
        return FileRangeIndex{{}, "malformed"};
    }
    if (ranges.getMemberNames() != files_.getMemberNames()) {
        return FileRangeIndex{{}, "not-the-file-list"};
    }
    const std::uint64_t archiveSize = size.asUInt64();
    FileRangeIndex index;
    std::vector<FileRange> byOffset;
    for (const std::string& name : ranges.getMemberNames()) {
        const Json::Value& pair = ranges[name];
        if (!pair.isArray() || pair.size() != 2 || !pair[0].isUInt64() || !pair[1].isUInt64() ||
            pair[1].asUInt64() == 0) {
            return FileRangeIndex{{}, "malformed"};
        }
        const FileRange range{pair[0].asUInt64(), pair[1].asUInt64()};
        // Written so that no sum can wrap around.
        if (range.offset >= archiveSize || range.length > archiveSize - range.offset) {
            return FileRangeIndex{{}, "outside-the-archive"};
        }
        index.ranges.emplace(name, range);
        byOffset.push_back(range);
    }
    std::sort(byOffset.begin(), byOffset.end(),
              [](const FileRange& a, const FileRange& b) { return a.offset < b.offset; });
    for (std::size_t i = 1; i < byOffset.size(); ++i) {
        if (byOffset[i - 1].offset + byOffset[i - 1].length > byOffset[i].offset) {
            return FileRangeIndex{{}, "overlapping"};
        }
    }
    return index;
}

Artifact readArtifact(const Json::Value& descriptor) {
    Artifact artifact;
    ArtifactDigest& digest = artifact.digest;
    digest.algorithm = descriptor.isObject() && descriptor.isMember("sha256") ? "sha256" : "sha1";
    const std::size_t length = digest.algorithm == "sha256" ? 64 : 40;
    digest.value = readText(memberOf(descriptor, digest.algorithm)).value_or("");
    if (digest.value.size() != length || !isLowerHex(digest.value)) {
        throw Error("HASH_REQUIRED", "Артефакт должен иметь контрольную сумму");
    }
    const Json::Value& size = memberOf(descriptor, "size");
    if (!size.isNull()) {
        if (!size.isUInt64()) {
            throw Error("LOCAL_ERROR", "Некорректный размер артефакта");
        }
        artifact.size = size.asUInt64();
    }
    // A missing URL is refused by the URL policy like any other unusable one.
    const Json::Value& url = memberOf(descriptor, "url");
    artifact.url = url.isString() ? url.asString() : std::string();
    return artifact;
}

std::vector<std::string> brokenManifestRules(const Json::Value& m, const ManifestRules& rules) {
    const std::pair<const char*, bool> checks[] = {
        {"apiUrl", isAllowedUrlText(memberOf(m, "apiUrl"), rules.allowLoopbackHttp)},
        {"arch", isText(memberOf(m, "arch"), platform::kPlatformArch)},
        {"azuriomUrl", isAllowedUrlText(memberOf(m, "azuriomUrl"), rules.allowLoopbackHttp)},
        {"components", hasComponents(m)},
        {"contentKey", isText(memberOf(memberOf(m, "contentKey"), "scope"), "content")},
        {"coreApi", isInteger(memberOf(m, "coreApi"), 1)},
        {"platform", isText(memberOf(m, "platform"), rules.platform)},
        {"schemaVersion", isInteger(memberOf(m, "schemaVersion"), 1)},
        {"sequence", readInteger(memberOf(m, "sequence")).has_value()},
        {"type", isText(memberOf(m, "type"), "bootstrap")},
    };
    std::vector<std::string> broken;
    for (const auto& [member, kept] : checks) {
        if (!kept) {
            broken.emplace_back(member);
        }
    }
    return broken;
}

UpdateManifest readUpdateManifest(const Json::Value& envelope, const Json::Value& codeTrust,
                                  const ManifestRules& rules) {
    UpdateManifest manifest;
    manifest.payload = openSignedEnvelope(envelope, codeTrust, "code");
    if (!brokenManifestRules(manifest.payload, rules).empty()) {
        throw Error("LOCAL_ERROR", "Манифест обновления несовместим");
    }
    const Json::Value& payload = manifest.payload;
    manifest.sequence = readInteger(payload["sequence"]).value();
    const Json::Value& components = memberOf(payload, "components");
    manifest.core = ReleaseComponent(memberOf(components, "core"));
    manifest.ui = ReleaseComponent(memberOf(components, "ui"));
    if (memberOf(components, "bootstrap").isObject()) {
        manifest.bootstrap = ReleaseComponent(memberOf(components, "bootstrap"));
    }
    return manifest;
}

std::set<std::string> UpdateManifest::downloadDigests() const {
    std::set<std::string> digests;
    for (const ReleaseComponent* component : {&core, &ui, bootstrap ? &*bootstrap : nullptr}) {
        if (component != nullptr && component->sha256().size() == 64 && isLowerHex(component->sha256())) {
            digests.insert(component->sha256());
        }
    }
    return digests;
}

std::optional<std::int64_t> signedSequence(const Json::Value& envelope, const Json::Value& codeTrust) {
    return readInteger(memberOf(openSignedEnvelope(envelope, codeTrust, "code"), "sequence"));
}

void checkComponentsPublished(const UpdateManifest& manifest) {
    if (!manifest.core.isPublished() || !manifest.ui.isPublished()) {
        throw Error("LOCAL_ERROR", "Компоненты приложения ещё не опубликованы");
    }
}

Json::Value readStoredAnswer(const std::filesystem::path& slotFolder) {
    return parseStrictJson(readFileLimited(slotManifestFile(slotFolder), kJsonFileLimit));
}

std::string slotNameFor(const Json::Value& envelope) {
    return hashBytes(writeCompactJson(envelope), "sha256").substr(0, 24);
}

}  // namespace zarvo
