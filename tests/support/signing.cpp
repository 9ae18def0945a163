#include "support/signing.h"

#include <sodium.h>

#include <stdexcept>

#include "platform/user_settings.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"

namespace zarvo::test {
namespace {

std::string base64(const unsigned char* bytes, std::size_t size) {
    std::string text(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);  // the terminating NUL
    return text;
}

}  // namespace

TestKey::TestKey() {
    if (sodium_init() < 0) {
        throw std::runtime_error("sodium_init failed");
    }
    crypto_sign_keypair(publicKey_, secretKey_);
}

std::string TestKey::publicKeyBase64() const { return base64(publicKey_, sizeof publicKey_); }

Json::Value TestKey::trust(const std::string& scope) const {
    Json::Value trust(Json::objectValue);
    trust["publicKey"] = publicKeyBase64();
    trust["keyId"] = keyIdFor(std::string(reinterpret_cast<const char*>(publicKey_), sizeof publicKey_));
    trust["scope"] = scope;
    return trust;
}

Json::Value TestKey::sign(const std::string& payloadBytes) const {
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(payloadBytes.data()),
                         payloadBytes.size(), secretKey_);
    Json::Value envelope(Json::objectValue);
    envelope["payload"] = base64(reinterpret_cast<const unsigned char*>(payloadBytes.data()), payloadBytes.size());
    envelope["signature"] = base64(signature, sizeof signature);
    envelope["keyId"] = trust()["keyId"];
    envelope["schemaVersion"] = 1;
    return envelope;
}

Json::Value TestKey::sign(const Json::Value& payload) const { return sign(writeCompactJson(payload)); }

Json::Value compatibleManifest(long long sequence) {
    Json::Value manifest(Json::objectValue);
    manifest["type"] = "bootstrap";
    manifest["schemaVersion"] = 1;
    manifest["platform"] = platform::kPlatformName;
    manifest["arch"] = "x86_64";
    manifest["coreApi"] = 1;
    manifest["apiUrl"] = "https://api.example.org/";
    manifest["azuriomUrl"] = "https://site.example.org/";
    manifest["contentKey"]["scope"] = "content";
    manifest["contentKey"]["publicKey"] = "AAAA";
    manifest["contentKey"]["keyId"] = "0000000000000000";
    manifest["sequence"] = static_cast<Json::Int64>(sequence);
    for (const char* name : {"core", "ui"}) {
        Json::Value& component = manifest["components"][name];
        component["coreApi"] = 1;
        component["sha256"] = std::string(64, 'a');
        component["url"] = std::string("https://files.example.org/") + name;
        component["version"] = "1.0.0";
    }
    manifest["components"]["core"]["entry"] = "bin/core";
    manifest["components"]["core"]["files"] = Json::Value(Json::objectValue);
    return manifest;
}

}  // namespace zarvo::test
