// Building blocks of the message digests: the algorithm by name, an owned
// digest context and the hexadecimal rendering of a finished digest.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <string_view>

namespace zarvo {

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// The algorithm for exactly "sha256" or "sha1" (no aliases, no case folding).
// Raises "LOCAL_ERROR" "Неподдерживаемый алгоритм хеша".
const EVP_MD* digestForAlgorithm(std::string_view name);
// A fresh context initialised with the named algorithm. Raises the error of
// digestForAlgorithm, or "LOCAL_ERROR" "Ошибка хеширования".
DigestContext startDigest(std::string_view algorithm);
// Feeds bytes to a started context. Raises "LOCAL_ERROR" "Ошибка хеширования".
void feedDigest(EVP_MD_CTX* context, std::string_view bytes);
// Finalises a fed context into lowercase hexadecimal text, two characters per
// digest byte. Raises "LOCAL_ERROR" "Ошибка хеширования".
std::string finishDigest(EVP_MD_CTX* context);

}  // namespace zarvo
