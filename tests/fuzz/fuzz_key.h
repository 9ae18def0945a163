// The one key pair of the fuzz targets. Its secret half is public on purpose:
// the seed corpora hold envelopes signed with it, and the manifest target signs
// whatever payload the fuzzer makes, so that mutations reach past the signature.
#pragma once

#include <json/value.h>
#include <sodium.h>

#include <string>
#include <string_view>

#include "trust/signed_envelope.h"

namespace zarvo::fuzz {

class FixedKey {
public:
    FixedKey() {
        static constexpr unsigned char kSeed[crypto_sign_SEEDBYTES] = {
            0x40, 0xac, 0x83, 0x7a, 0x25, 0x68, 0x6e, 0x92, 0xfb, 0x56, 0xf4, 0xd1, 0xfa, 0x05, 0xf1, 0xe6,
            0x1d, 0x8b, 0x6b, 0xdc, 0xe1, 0x93, 0xe5, 0x01, 0xcb, 0x05, 0xd0, 0xbd, 0xd3, 0xf5, 0xb7, 0xda,
        };
        crypto_sign_seed_keypair(publicKey_, secretKey_, kSeed);
    }

    std::string_view publicKey() const { return {reinterpret_cast<const char*>(publicKey_), sizeof publicKey_}; }

    // The trust object of the key for scope "code", as start-up builds it.
    Json::Value trust() const {
        Json::Value trust(Json::objectValue);
        trust["publicKey"] = base64(publicKey());
        trust["keyId"] = keyIdFor(publicKey());
        trust["scope"] = "code";
        return trust;
    }

    // A valid envelope around exactly these payload bytes.
    Json::Value sign(std::string_view payload) const {
        unsigned char signature[crypto_sign_BYTES];
        crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(payload.data()),
                             payload.size(), secretKey_);
        Json::Value envelope(Json::objectValue);
        envelope["payload"] = base64(payload);
        envelope["signature"] = base64({reinterpret_cast<const char*>(signature), sizeof signature});
        envelope["keyId"] = keyIdFor(publicKey());
        envelope["schemaVersion"] = 1;
        return envelope;
    }

private:
    static std::string base64(std::string_view bytes) {
        std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
        sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                          bytes.size(), sodium_base64_VARIANT_ORIGINAL);
        text.pop_back();  // the terminating NUL
        return text;
    }

    unsigned char publicKey_[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey_[crypto_sign_SECRETKEYBYTES];
};

}  // namespace zarvo::fuzz
