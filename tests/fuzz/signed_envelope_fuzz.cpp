// Signed envelopes against the fixed key (or, for a two-element array, against
// the trust object in its second element): an opened envelope really is signed
// by the trust's key over the returned payload; anything else is refused with
// the envelope's own codes.
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "fuzz_key.h"
#include "trust/hashing.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zarvo;
    static const bool sodiumReady = (fuzz::initSodium(), true);
    static const fuzz::FixedKey key;
    (void)sodiumReady;

    Json::Value document;
    try {
        document = parseStrictJson({reinterpret_cast<const char*>(data), size});
    } catch (const Error&) {
        return 0;  // the JSON target covers the parser
    }
    bool ownTrust = document.isArray() && document.size() == 2;
    const Json::Value envelope = ownTrust ? document[0] : document;
    const Json::Value trust = ownTrust ? document[1] : key.trust();

    Json::Value payload;
    try {
        payload = openSignedEnvelope(envelope, trust, "code");
    } catch (const Error& error) {
        fuzz::requireOwnError(error, {"SIGNATURE_INVALID", "INVALID_JSON", "LOCAL_ERROR"});
        return 0;
    }
    fuzz::require(readText(memberOf(trust, "scope")) == "code", "opened for a key of another scope");
    fuzz::require(readInteger(memberOf(envelope, "schemaVersion")) == 1, "opened another envelope version");
    std::string publicKey = decodeBase64(*readText(memberOf(trust, "publicKey")));
    std::string signature = decodeBase64(*readText(memberOf(envelope, "signature")));
    std::string bytes = decodeBase64(*readText(memberOf(envelope, "payload")));
    fuzz::require(publicKey.size() == crypto_sign_PUBLICKEYBYTES && signature.size() == crypto_sign_BYTES &&
                      crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                                  reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                                  reinterpret_cast<const unsigned char*>(publicKey.data())) == 0,
                  "opened an envelope the key did not sign");
    fuzz::require(memberOf(envelope, "keyId") == Json::Value(keyIdFor(publicKey)), "opened under another key id");
    fuzz::require(payload == parseStrictJson(bytes), "returned something else than the signed payload");
    return 0;
}
