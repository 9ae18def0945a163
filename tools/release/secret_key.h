// The release tool's secret key file: a small JSON object holding the Ed25519
// seed, kept in a file that only its owner can read.
//
//   {"keyId":"<16 hex>","publicKey":"<Base64>","scope":"code",
//    "seed":"<Base64 of 32 bytes>","type":"zarvo-release-secret-key"}
#pragma once

#include <sodium.h>

#include <filesystem>
#include <string>

#include <json/value.h>

namespace zarvo::release {

class SecretKey {
public:
    // A fresh random key pair for the scope.
    static SecretKey generate(const std::string& scope);
    // Reads and checks a key file; raises ToolError naming the path when others
    // may read or change it (checked before reading), or when it is missing,
    // unreadable or not a consistent key file of this tool.
    static SecretKey load(const std::filesystem::path& path);

    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;
    SecretKey(SecretKey&& other) noexcept;
    ~SecretKey();

    // Writes the key to a new file created with mode 0600; an existing file or
    // link at the path is never touched, and a file system that does not keep
    // the mode is refused. Raises ToolError.
    void saveNew(const std::filesystem::path& path) const;
    // The trust object of the public key: keyId, publicKey, scope.
    Json::Value trust() const;
    std::string publicKeyBase64() const;
    std::string keyId() const;
    const std::string& scope() const { return scope_; }
    // Detached Ed25519 signature of exactly these bytes.
    std::string sign(const std::string& bytes) const;

private:
    SecretKey() = default;

    std::string scope_;
    unsigned char publicKey_[crypto_sign_PUBLICKEYBYTES] = {};
    unsigned char secretKey_[crypto_sign_SECRETKEYBYTES] = {};
};

// Standard padded Base64, the form every key and signature takes in JSON.
std::string encodeBase64(const std::string& bytes);
// Whether a parsed document is one of this tool's secret key files.
bool isSecretKeyDocument(const Json::Value& document);

}  // namespace zarvo::release
