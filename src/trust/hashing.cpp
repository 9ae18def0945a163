// Digests of byte strings and files, Base64 decoding and random names.
#include "trust/hashing.h"

#include <sodium.h>

#include <system_error>
#include <vector>

#include "platform/files.h"
#include "trust/digest.h"
#include "trust/error.h"

namespace zarvo {
namespace {

constexpr std::size_t kFileBlock = 65536;

[[noreturn]] void throwHashingFailed() { throw Error("LOCAL_ERROR", "Ошибка хеширования"); }

}  // namespace

const EVP_MD* digestForAlgorithm(std::string_view name) {
    if (name == "sha256") {
        return EVP_sha256();
    }
    if (name == "sha1") {
        return EVP_sha1();
    }
    throw Error("LOCAL_ERROR", "Неподдерживаемый алгоритм хеша");
}

DigestContext startDigest(std::string_view algorithm) {
    const EVP_MD* digest = digestForAlgorithm(algorithm);
    DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), digest, nullptr) != 1) {
        throwHashingFailed();
    }
    return context;
}

void feedDigest(EVP_MD_CTX* context, std::string_view bytes) {
    if (EVP_DigestUpdate(context, bytes.data(), bytes.size()) != 1) {
        throwHashingFailed();
    }
}

std::string finishDigest(EVP_MD_CTX* context) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1) {
        throwHashingFailed();
    }
    std::string text(length * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), digest, length);
    text.pop_back();  // the terminating NUL
    return text;
}

std::string hashBytes(std::string_view bytes, std::string_view algorithm) {
    DigestContext context = startDigest(algorithm);
    feedDigest(context.get(), bytes);
    return finishDigest(context.get());
}

std::string hashFile(const std::filesystem::path& path, std::string_view algorithm) {
    platform::FileHandle file;
    try {
        file = platform::openFileForReading(path);
    } catch (const std::system_error&) {
        throw Error("LOCAL_ERROR", "Не удалось открыть файл для проверки");
    }
    return hashOpenFile(file, algorithm);
}

std::string hashOpenFile(const platform::FileHandle& file, std::string_view algorithm) {
    DigestContext context = startDigest(algorithm);
    std::vector<char> block(kFileBlock);
    for (;;) {
        std::size_t count = 0;
        try {
            count = platform::readSome(file, block.data(), block.size());
        } catch (const std::system_error&) {
            throw Error("LOCAL_ERROR", "Ошибка чтения при проверке");
        }
        if (count == 0) {
            return finishDigest(context.get());
        }
        feedDigest(context.get(), std::string_view(block.data(), count));
    }
}

bool isLowerHex(std::string_view text) noexcept {
    return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string decodeBase64(std::string_view text) {
    std::string bytes(text.size(), '\0');
    std::size_t length = 0;
    // No ignored characters and no end pointer: the whole text must be valid padded Base64.
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(), text.size(),
                          nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
        throw Error("LOCAL_ERROR", "Некорректная кодировка подписи");
    }
    bytes.resize(length);
    return bytes;
}

std::string randomHexName() {
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    std::string text(sizeof bytes * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes, sizeof bytes);
    text.pop_back();
    return text;
}

}  // namespace zarvo
