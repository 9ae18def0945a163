// Opening of Ed25519-signed envelopes against a trust object.
#include "trust/signed_envelope.h"

#include <sodium.h>

#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/strict_json.h"

namespace zarvo {
namespace {

[[noreturn]] void throwWrongKey() { throw Error("SIGNATURE_INVALID", "Неподходящий ключ подписи"); }
[[noreturn]] void throwBadSignature() { throw Error("SIGNATURE_INVALID", "Подпись обновления не прошла проверку"); }

}  // namespace

std::string keyIdFor(std::string_view keyBytes) { return hashBytes(keyBytes, "sha256").substr(0, 16); }

Json::Value openSignedEnvelope(const Json::Value& envelope, const Json::Value& trust,
                               std::string_view expectedScope) {
    // Each member is read with the type its step expects; another type fails
    // that step like a wrong value would.
    if (readText(memberOf(trust, "scope")) != std::string(expectedScope)) {
        throwWrongKey();
    }
    if (readInteger(memberOf(envelope, "schemaVersion")) != 1) {
        throwWrongKey();
    }

    auto base64Member = [](const Json::Value& object, const char* name) {
        auto text = readText(memberOf(object, name));
        if (!text) {
            throw Error("LOCAL_ERROR", "Некорректная кодировка подписи");
        }
        return decodeBase64(*text);
    };
    std::string key = base64Member(trust, "publicKey");
    std::string signature = base64Member(envelope, "signature");
    std::string payload = base64Member(envelope, "payload");
    if (key.size() != crypto_sign_PUBLICKEYBYTES || signature.size() != crypto_sign_BYTES) {
        throwBadSignature();
    }

    // The key id is exact text: a differently cased or typed id is another key.
    const Json::Value& keyId = memberOf(envelope, "keyId");
    if (readText(keyId) != keyIdFor(key)) {
        throwBadSignature();
    }
    if (keyId != memberOf(trust, "keyId")) {
        throwBadSignature();
    }
    if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                    reinterpret_cast<const unsigned char*>(payload.data()), payload.size(),
                                    reinterpret_cast<const unsigned char*>(key.data())) != 0) {
        throwBadSignature();
    }
    return parseStrictJson(payload);
}

}  // namespace zarvo
