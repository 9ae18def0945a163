// A throwaway Ed25519 key for tests that need signed answers.
#pragma once

#include <json/value.h>

#include <string>

namespace zarvo::test {

class TestKey {
public:
    TestKey();  // a fresh key pair (initialises libsodium)

    // The trust object of this key, in the form of code-trust.json.
    Json::Value trust(const std::string& scope = "code") const;
    // A signed envelope around exactly these payload bytes.
    Json::Value sign(const std::string& payloadBytes) const;
    Json::Value sign(const Json::Value& payload) const;
    std::string publicKeyBase64() const;

private:
    unsigned char publicKey_[32];
    unsigned char secretKey_[64];
};

// A manifest that this build accepts, with published components.
Json::Value compatibleManifest(long long sequence);

}  // namespace zarvo::test
