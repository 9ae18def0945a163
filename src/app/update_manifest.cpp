#include "app/update_manifest.h"

#include "app/bootstrap.h"
#include "net/url_policy.h"
#include "platform/user_settings.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/json_read.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

bool isText(const Json::Value& value, const std::string& expected) { return value == Json::Value(expected); }

bool isInteger(const Json::Value& value, Json::Int64 expected) { return readInteger(value) == expected; }

bool isAllowedUrlText(const Json::Value& value, bool allowLoopbackHttp) {
    auto url = readText(value);
    return url && isAllowedUrl(*url, allowLoopbackHttp);
}

// A component the flow reads members of: an object, or for the optional
// pre-starter package also nothing at all.
bool isComponent(const Json::Value& components, const char* name, bool optional) {
    const Json::Value& component = memberOf(components, name);
    return component.isObject() || (optional && component.isNull());
}

bool isCompatible(const Bootstrap& context, const Json::Value& manifest, const std::string& platformName) {
    // Text members are compared as JSON values, so a number where text belongs
    // fails; members of the wrong type fail their check instead of raising.
    const Json::Value& components = memberOf(manifest, "components");
    return isText(memberOf(manifest, "type"), "bootstrap") && isInteger(memberOf(manifest, "schemaVersion"), 1) &&
           isText(memberOf(manifest, "platform"), platformName) &&
           isText(memberOf(manifest, "arch"), platform::kPlatformArch) &&
           isInteger(memberOf(manifest, "coreApi"), 1) &&
           isAllowedUrlText(memberOf(manifest, "apiUrl"), context.allowLoopbackHttp) &&
           isAllowedUrlText(memberOf(manifest, "azuriomUrl"), context.allowLoopbackHttp) &&
           isText(memberOf(memberOf(manifest, "contentKey"), "scope"), "content") &&
           readInteger(memberOf(manifest, "sequence")).has_value() && isComponent(components, "core", false) &&
           isComponent(components, "ui", false) && isComponent(components, "bootstrap", true);
}

}  // namespace

Json::Value readUpdateManifest(const Bootstrap& context, const Json::Value& envelope) {
    return readUpdateManifest(context, envelope, platform::kPlatformName);
}

Json::Value readUpdateManifest(const Bootstrap& context, const Json::Value& envelope, const std::string& platformName) {
    Json::Value manifest = openSignedEnvelope(envelope, context.codeTrust, "code");
    if (!isCompatible(context, manifest, platformName)) {
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
