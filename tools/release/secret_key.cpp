// Generation, storage and loading of the release signing key.
#include "secret_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "release_options.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"

namespace zarvo::release {
namespace {

const char* const kFileType = "zarvo-release-secret-key";
constexpr std::uintmax_t kKeyFileLimit = 64 * 1024;

std::string asText(const unsigned char* bytes, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

ToolError notAKeyFile(const std::filesystem::path& path, const std::string& why) {
    return ToolError("'" + path.string() + "' is not a zarvo-release secret key file: " + why);
}

// Text member of a parsed key file, or a ToolError when it is absent or not text.
std::string textMember(const Json::Value& document, const char* name, const std::filesystem::path& path) {
    const Json::Value& member = document[name];
    if (!member.isString()) {
        throw notAKeyFile(path, std::string("no text member \"") + name + "\"");
    }
    return member.asString();
}

ToolError unreadable(const std::filesystem::path& path, const std::string& why) {
    return ToolError("cannot read the secret key file '" + path.string() + "': " + why);
}

ToolError sharedKey(const std::filesystem::path& path) {
    return ToolError("the secret key file '" + path.string() +
                     "' is accessible to other users; restrict it with 'chmod 600' (and make a new key if "
                     "others may have read it)");
}

// The whole key file, refused before a byte is read when others could read
// or change it, as ssh does: such a key may no longer be secret.
std::string readPrivateFile(const std::filesystem::path& path) {
    int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (file < 0) {
        throw unreadable(path, std::strerror(errno));
    }
    struct stat info {};
    std::string text;
    std::string failure;
    if (::fstat(file, &info) != 0) {
        failure = std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        failure = "not a regular file";
    } else if (info.st_size > static_cast<off_t>(kKeyFileLimit)) {
        failure = "larger than 64 KiB";
    } else if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        ::close(file);
        throw sharedKey(path);
    }
    char block[4096];
    while (failure.empty()) {
        ssize_t count = ::read(file, block, sizeof block);
        if (count > 0 && text.size() + static_cast<std::size_t>(count) <= kKeyFileLimit) {
            text.append(block, static_cast<std::size_t>(count));
        } else if (count > 0) {
            failure = "larger than 64 KiB";
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            failure = std::strerror(errno);
        }
    }
    sodium_memzero(block, sizeof block);
    ::close(file);
    if (!failure.empty()) {
        sodium_memzero(text.data(), text.size());
        throw unreadable(path, failure);
    }
    return text;
}

}  // namespace

std::string encodeBase64(const std::string& bytes) {
    std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.pop_back();  // the terminating NUL
    return text;
}

bool isSecretKeyDocument(const Json::Value& document) {
    return document.isObject() && (document["type"] == kFileType || document.isMember("seed"));
}

SecretKey::SecretKey(SecretKey&& other) noexcept : scope_(std::move(other.scope_)) {
    std::memcpy(publicKey_, other.publicKey_, sizeof publicKey_);
    std::memcpy(secretKey_, other.secretKey_, sizeof secretKey_);
    sodium_memzero(other.secretKey_, sizeof other.secretKey_);
}

SecretKey::~SecretKey() { sodium_memzero(secretKey_, sizeof secretKey_); }

SecretKey SecretKey::generate(const std::string& scope) {
    SecretKey key;
    key.scope_ = scope;
    crypto_sign_keypair(key.publicKey_, key.secretKey_);
    return key;
}

SecretKey SecretKey::load(const std::filesystem::path& path) {
    std::string text = readPrivateFile(path);

    Json::Value document;
    try {
        document = parseStrictJson(text);
    } catch (const Error&) {
        sodium_memzero(text.data(), text.size());
        throw notAKeyFile(path, "not valid JSON");
    }
    sodium_memzero(text.data(), text.size());
    if (!document.isObject() || document["type"] != kFileType) {
        throw notAKeyFile(path, std::string("no \"type\":\"") + kFileType + "\" member");
    }

    SecretKey key;
    key.scope_ = textMember(document, "scope", path);
    std::string seed;
    try {
        seed = decodeBase64(textMember(document, "seed", path));
    } catch (const Error&) {
        throw notAKeyFile(path, "the seed is not valid Base64");
    }
    if (seed.size() != crypto_sign_SEEDBYTES) {
        throw notAKeyFile(path, "the seed is not 32 bytes long");
    }
    crypto_sign_seed_keypair(key.publicKey_, key.secretKey_, reinterpret_cast<const unsigned char*>(seed.data()));
    sodium_memzero(seed.data(), seed.size());
    // A damaged seed still gives a key pair; the stored public key and id tell it apart.
    if (textMember(document, "publicKey", path) != key.publicKeyBase64() ||
        textMember(document, "keyId", path) != key.keyId()) {
        throw notAKeyFile(path, "the seed does not match its public key and key id");
    }
    return key;
}

void SecretKey::saveNew(const std::filesystem::path& path) const {
    Json::Value document = trust();
    document["type"] = kFileType;
    // The seed is the first half of libsodium's secret key.
    document["seed"] = encodeBase64(asText(secretKey_, crypto_sign_SEEDBYTES));
    std::string text = writeCompactJson(document) + "\n";
    document["seed"] = "";

    if (path.has_parent_path()) {
        std::error_code ignored;
        std::filesystem::create_directories(path.parent_path(), ignored);
    }
    // Created with mode 0600 from the start, so it is never readable by others,
    // and exclusively, so an existing key (or a link planted in its place) is never overwritten.
    int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file < 0) {
        int error = errno;
        sodium_memzero(text.data(), text.size());
        if (error == EEXIST) {
            throw ToolError("the secret key file '" + path.string() + "' already exists; it is never overwritten");
        }
        throw ToolError("cannot create the secret key file '" + path.string() + "': " + std::strerror(error));
    }
    std::string failure;
    struct stat info {};
    if (::fchmod(file, 0600) != 0 || ::fstat(file, &info) != 0) {
        failure = std::strerror(errno);
    } else if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        // Some file systems (FAT, certain network mounts) ignore modes: the key would not stay secret there.
        failure = "the file system lets other users read it; choose a folder on a local Linux file system";
    }
    for (std::size_t done = 0; failure.empty() && done < text.size();) {
        ssize_t count = ::write(file, text.data() + done, text.size() - done);
        if (count >= 0) {
            done += static_cast<std::size_t>(count);
        } else if (errno != EINTR) {
            failure = std::strerror(errno);
        }
    }
    if (failure.empty() && ::fsync(file) != 0) {
        failure = std::strerror(errno);
    }
    if (::close(file) != 0 && failure.empty()) {
        failure = std::strerror(errno);
    }
    sodium_memzero(text.data(), text.size());
    if (!failure.empty()) {
        // Only the file this call created is removed; a half-written key is useless.
        ::unlink(path.c_str());
        throw ToolError("cannot write the secret key file '" + path.string() + "': " + failure);
    }
}

Json::Value SecretKey::trust() const {
    Json::Value trust(Json::objectValue);
    trust["keyId"] = keyId();
    trust["publicKey"] = publicKeyBase64();
    trust["scope"] = scope_;
    return trust;
}

std::string SecretKey::publicKeyBase64() const { return encodeBase64(asText(publicKey_, sizeof publicKey_)); }

std::string SecretKey::keyId() const { return keyIdFor(asText(publicKey_, sizeof publicKey_)); }

std::string SecretKey::sign(const std::string& bytes) const {
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                         secretKey_);
    return asText(signature, sizeof signature);
}

}  // namespace zarvo::release
