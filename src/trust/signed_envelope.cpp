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
    if (trust["scope"].asString() != expectedScope) {
        throwWrongKey();
    }
    if (envelope["schemaVersion"].asInt() != 1) {
        throwWrongKey();
    }

    std::string key = decodeBase64(trust["publicKey"].asString());
    std::string signature = decodeBase64(envelope["signature"].asString());
    std::string payload = decodeBase64(envelope["payload"].asString());
    if (key.size() != crypto_sign_PUBLICKEYBYTES || signature.size() != crypto_sign_BYTES) {
        throwBadSignature();
    }

    // The key id is exact text: a differently cased or typed id is another key.
    if (envelope["keyId"].asString() != keyIdFor(key)) {
        throwBadSignature();
    }
    if (envelope["keyId"] != trust["keyId"]) {
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
