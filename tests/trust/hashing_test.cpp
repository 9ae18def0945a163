// Digests against published vectors and across the file block size, Base64
// decoding and random names.
#include "trust/hashing.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <set>

#include "support/temp_dir.h"
#include "trust/digest.h"
#include "support/expect_error.h"

namespace {

// libsodium must be initialised once per process before any of its routines run.
class SodiumEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_GE(sodium_init(), 0); }
};
const auto* const sodiumEnvironment = ::testing::AddGlobalTestEnvironment(new SodiumEnvironment);

using zarvo::hashBytes;
using zarvo::hashFile;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

TEST(Hashing, KnownVectors) {
    EXPECT_EQ(hashBytes("", "sha256"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hashBytes("abc", "sha256"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hashBytes("abc", "sha1"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hashBytes("", "sha1"), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    // Bytes after a NUL count.
    EXPECT_NE(hashBytes(std::string("a\0b", 3), "sha256"), hashBytes("a", "sha256"));
}

TEST(Hashing, OnlyTheTwoExactNamesAreAccepted) {
    for (const char* name : {"SHA256", "sha-256", "Sha1", "sha256 ", " sha1", "md5", "sha512", "sha", ""}) {
        SCOPED_TRACE(name);
        EXPECT_ZARVO_ERROR(hashBytes("abc", name), "LOCAL_ERROR", "Неподдерживаемый алгоритм хеша");
        EXPECT_ZARVO_ERROR(zarvo::digestForAlgorithm(name), "LOCAL_ERROR", "Неподдерживаемый алгоритм хеша");
    }
}

TEST(Hashing, FileDigestMatchesAcrossBlockBoundaries) {
    TempDir dir;
    for (std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 131072u, 3u * 65536u + 7u}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>((i * 131 + 7) % 251);
        }
        auto path = dir / ("file-" + std::to_string(size));
        writeFile(path, bytes);
        EXPECT_EQ(hashFile(path, "sha256"), hashBytes(bytes, "sha256"));
        EXPECT_EQ(hashFile(path, "sha1"), hashBytes(bytes, "sha1"));
    }
    // One million "a": the published vector, fed through sixteen blocks.
    writeFile(dir / "million", std::string(1000000, 'a'));
    EXPECT_EQ(hashFile(dir / "million", "sha256"), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(hashFile(dir / "million", "sha1"), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Hashing, FileFailures) {
    TempDir dir;
    EXPECT_ZARVO_ERROR(hashFile(dir / "missing", "sha256"), "LOCAL_ERROR", "Не удалось открыть файл для проверки");
    EXPECT_ZARVO_ERROR(hashFile(dir.path(), "sha256"), "LOCAL_ERROR", "Не удалось открыть файл для проверки");
    writeFile(dir / "present", "abc");
    EXPECT_ZARVO_ERROR(hashFile(dir / "present", "SHA256"), "LOCAL_ERROR", "Неподдерживаемый алгоритм хеша");
#ifndef _WIN32
    // A link is hashed as the file it names (mingw-w64's library makes none).
    std::filesystem::create_symlink(dir / "present", dir / "link");
    EXPECT_EQ(hashFile(dir / "link", "sha1"), "a9993e364706816aba3e25717850c26c9cd0d89d");
#endif
}

TEST(Hashing, DecodesOnlyPaddedStandardBase64) {
    EXPECT_EQ(zarvo::decodeBase64(""), "");
    EXPECT_EQ(zarvo::decodeBase64("YQ=="), "a");
    EXPECT_EQ(zarvo::decodeBase64("YWI="), "ab");
    EXPECT_EQ(zarvo::decodeBase64("YWJj"), "abc");
    EXPECT_EQ(zarvo::decodeBase64("+/8="), "\xfb\xff");
    EXPECT_EQ(zarvo::decodeBase64("AAECAw=="), std::string("\0\1\2\3", 4));
    for (const char* text : {"YWI", "YQ=", "YQ", "YW*j", "YWJj\n", " YWJj", "-_8=", "YWJj====", "Y", "YQ==YQ=="}) {
        SCOPED_TRACE(text);
        EXPECT_ZARVO_ERROR(zarvo::decodeBase64(text), "LOCAL_ERROR", "Некорректная кодировка подписи");
    }
}

TEST(Hashing, RandomNamesAreFreshLowercaseHex) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        std::string name = zarvo::randomHexName();
        ASSERT_EQ(name.size(), 32u);
        EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
        seen.insert(name);
    }
    EXPECT_EQ(seen.size(), 64u);
}

}  // namespace
