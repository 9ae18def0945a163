// Helpers shared by the release tool's commands.
#include "release_common.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "app/update_manifest.h"
#include "net/json_request.h"
#include "platform/user_settings.h"
#include "secret_key.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo::release {

std::string platformOf(const Invocation& invocation) {
    const std::string name = invocation.optional("platform").value_or(platform::kPlatformName);
    if (name != "linux" && name != "windows") {
        throw ToolError("--platform is 'linux' or 'windows', not '" + name + "'", 2);
    }
    return name;
}

std::filesystem::path answerPath(const std::string& platformName) {
    return std::filesystem::path("api/v1/bootstrap") / (platformName + ".json");
}

std::filesystem::path payloadPath(const std::string& platformName) {
    return std::filesystem::path("manifests") / (platformName + ".json");
}

std::string answerUrl(std::string serviceUrl, const std::string& platformName) {
    while (serviceUrl.ends_with("/")) {
        serviceUrl.pop_back();
    }
    return serviceUrl + "/api/v1/bootstrap?platform=" + platformName;
}

std::int64_t liveSequence(const std::string& serviceUrl, const Json::Value& trust, const std::string& platformName,
                          bool allowLoopbackHttp) {
    const std::string url = answerUrl(serviceUrl, platformName);
    std::optional<std::int64_t> sequence;
    try {
        sequence = signedSequence(requestJson(url, "GET", Json::Value(), "", allowLoopbackHttp, nullptr), trust);
    } catch (const std::exception& error) {
        throw ToolError("cannot read the live answer " + url + ": " + explain(error) +
                        "; without its sequence nothing can be checked against it");
    }
    if (!sequence) {
        throw ToolError("the live answer " + url + " carries a sequence that is not a whole number");
    }
    return *sequence;
}

Json::Value readJsonFile(const std::filesystem::path& path, const std::string& what) {
    std::string text;
    try {
        text = readFileLimited(path, kJsonFileLimit);
    } catch (const Error&) {
        throw ToolError("cannot read the " + what + " '" + path.string() +
                        "': it is missing, not a regular file, unreadable or larger than 16 MiB");
    }
    try {
        return parseStrictJson(text);
    } catch (const Error&) {
        throw ToolError("the " + what + " '" + path.string() +
                        "' is not strict JSON (one value, no duplicate member names, nothing after it)");
    }
}

Json::Value readTrustFile(const std::filesystem::path& path, const std::string& scope, const std::string& what) {
    const Json::Value document = readJsonFile(path, what);
    const auto refuse = [&](const std::string& why) {
        return ToolError("the " + what + " '" + path.string() + "' " + why);
    };
    if (isSecretKeyDocument(document)) {
        // Its members would be copied into a public manifest.
        throw refuse("is a secret key file; give its trust file instead");
    }
    if (!document.isObject() || !document["publicKey"].isString() || !document["keyId"].isString()) {
        throw refuse("is not a trust file (an object with keyId, publicKey and scope)");
    }
    if (document["scope"] != Json::Value(scope)) {
        throw refuse("is not for the scope \"" + scope + "\"");
    }
    std::string key;
    try {
        key = decodeBase64(document["publicKey"].asString());
    } catch (const Error&) {
    }
    if (key.size() != 32 || document["keyId"].asString() != keyIdFor(key)) {
        throw refuse("does not hold a 32-byte Ed25519 public key with its key id");
    }
    Json::Value trust(Json::objectValue);
    for (const char* name : {"keyId", "publicKey", "scope"}) {
        trust[name] = document[name];
    }
    return trust;
}

void syncToDisk(const std::filesystem::path& path) {
    int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (file < 0 || ::fsync(file) != 0) {
        int error = errno;
        if (file >= 0) {
            ::close(file);
        }
        throw ToolError("cannot flush '" + path.string() + "' to disk: " + std::strerror(error));
    }
    ::close(file);
}

namespace {

bool isPublicDocument(const Json::Value& document) {
    if (!document.isObject() || isSecretKeyDocument(document)) {
        return false;
    }
    const auto has = [&](std::initializer_list<const char*> names) {
        for (const char* name : names) {
            if (!document.isMember(name)) {
                return false;
            }
        }
        return true;
    };
    return has({"keyId", "publicKey", "scope"}) || has({"keyId", "payload", "signature"}) ||
           document["type"] == Json::Value("bootstrap");
}

}  // namespace

void requireReplaceable(const std::filesystem::path& path, const std::string& what,
                        const std::filesystem::path& secretKey) {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        return;
    }
    const std::string where = "the " + what + " '" + path.string() + "'";
    if (!secretKey.empty() && std::filesystem::equivalent(path, secretKey, error)) {
        throw ToolError(where + " is the --secret-key file; it is never replaced, so nothing was written");
    }
    Json::Value document;
    try {
        document = parseStrictJson(readFileLimited(path, kJsonFileLimit));
    } catch (const std::exception&) {
        document = Json::Value();
    }
    if (isSecretKeyDocument(document)) {
        throw ToolError(where + " is a secret key file; it is never replaced, so nothing was written");
    }
    if (!isPublicDocument(document)) {
        throw ToolError(where + " already exists and is not a public document of this tool (a trust file, "
                        "signed envelope or manifest); it is never replaced, so nothing was written (move it "
                        "away or choose another file)");
    }
}

void writePublicFile(const std::filesystem::path& path, const std::string& bytes, const std::string& what,
                     const std::filesystem::path& secretKey) {
    requireReplaceable(path, what, secretKey);
    try {
        writeFileAtomic(path, bytes);
        using std::filesystem::perms;
        std::filesystem::permissions(path, perms::owner_read | perms::owner_write | perms::group_read |
                                               perms::others_read);
    } catch (const std::exception&) {
        throw ToolError("cannot write the " + what + " '" + path.string() + "'");
    }
    syncToDisk(path);
}

std::string explain(const std::exception& error) {
    const auto* failure = dynamic_cast<const Error*>(&error);
    if (failure == nullptr) {
        return error.what();
    }
    static const std::map<std::string, std::string> meanings = {
        {"SIGNATURE_INVALID", "not signed by the key of the trust file"},
        {"INVALID_JSON", "not strict JSON"},
        {"HASH_MISMATCH", "the bytes do not match the manifest's size and sha256"},
        {"HASH_REQUIRED", "no lowercase hexadecimal sha256 of 64 characters"},
        {"DOWNLOAD_FAILED", "the download failed"},
        {"NETWORK_ERROR", "the server cannot be reached or did not answer in time"},
        {"UNSAFE_URL", "the URL is refused (HTTPS only; plain HTTP to loopback with --allow-loopback-http)"},
        {"UNSAFE_ARCHIVE", "an unsafe path in the archive"},
        {"UNSAFE_PATH", "an unsafe path"},
        {"COMPONENT_CHANGED", "the files differ from the file list"},
        {"COMPONENT_INVENTORY_REQUIRED", "the file list is missing, empty or too long"},
        {"EXTRACT_WRITE_FAILED", "the unpacked files cannot be written"},
        {"ROLLBACK_REJECTED", "the sequence is lower than one already accepted"},
    };
    auto meaning = meanings.find(failure->code());
    std::string text = meaning != meanings.end() ? meaning->second : "refused by the pre-starter's check";
    const std::int32_t status = failure->status();
    if (status != 0 && (status < 200 || status > 299)) {
        // The status is the news, whatever the body of the error answer was.
        text = "the server answered HTTP " + std::to_string(status);
        if (failure->code() == "INVALID_JSON") {
            return text + " (its body is not JSON)";
        }
    }
    text += " [" + failure->code();
    if (failure->status() != 0) {
        text += " HTTP " + std::to_string(failure->status());
    }
    return text + ": " + failure->what() + "]";
}

}  // namespace zarvo::release
