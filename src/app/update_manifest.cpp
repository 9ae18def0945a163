#include "app/update_manifest.h"

#include "app/bootstrap.h"
#include "net/url_policy.h"
#include "platform/platform_name.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

bool isCompatible(const Bootstrap& context, const Json::Value& manifest) {
    // Text members are compared as JSON values, so a number where text belongs fails.
    return manifest["type"] == Json::Value("bootstrap") && manifest["schemaVersion"].asInt64() == 1 &&
           manifest["platform"] == Json::Value(platform::kPlatformName) &&
           manifest["arch"] == Json::Value(platform::kPlatformArch) && manifest["coreApi"].asInt64() == 1 &&
           isAllowedUrl(manifest["apiUrl"].asString(), context.allowLoopbackHttp) &&
           isAllowedUrl(manifest["azuriomUrl"].asString(), context.allowLoopbackHttp) &&
           manifest["contentKey"]["scope"] == Json::Value("content");
}

}  // namespace

Json::Value readUpdateManifest(const Bootstrap& context, const Json::Value& envelope) {
    Json::Value manifest = openSignedEnvelope(envelope, context.codeTrust, "code");
    if (!isCompatible(context, manifest)) {
        throw Error("LOCAL_ERROR", "Манифест обновления несовместим");
    }
    return manifest;
}

Json::Value readStoredAnswer(const std::filesystem::path& slotFolder) {
    return parseStrictJson(readFileLimited(slotFolder / "manifest.json", kJsonFileLimit));
}

std::string slotNameFor(const Json::Value& envelope) {
    return hashBytes(writeCompactJson(envelope), "sha256").substr(0, 24);
}

bool isValidSlotName(const std::string& name) {
    if (name.empty() || name.size() > 80) {
        return false;
    }
    for (char c : name) {
        bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

}  // namespace zarvo
