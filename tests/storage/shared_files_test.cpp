// Carrying verified files between slot folders.
#include "storage/shared_files.h"

#include <gtest/gtest.h>

#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

const std::string kDamaged = "Повреждён общий файл";

bool anyTemporaryLeft(const std::filesystem::path& root) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.path().filename().string().find(".link-") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(SharedFiles, CarriesEveryFileAsAHardLinkAndReplacesOtherContent) {
    TempDir dir;
    writeFile(dir / "old/core/bin/core", "program");
    writeFile(dir / "old/core/data/a.txt", "data");
    writeFile(dir / "new/core/data/a.txt", "stale content");
    Json::Value files(Json::objectValue);
    files["bin/core"] = hashBytes("program", "sha256");
    files["data/a.txt"] = hashBytes("data", "sha256");

    linkSharedFiles(dir / "old/core", dir / "new/core", files);
    EXPECT_EQ(readFile(dir / "new/core/bin/core"), "program");
    EXPECT_EQ(readFile(dir / "new/core/data/a.txt"), "data");
    EXPECT_TRUE(std::filesystem::equivalent(dir / "old/core/bin/core", dir / "new/core/bin/core"));
    EXPECT_FALSE(anyTemporaryLeft(dir / "new"));

    // Already linked: verified again, nothing written.
    linkSharedFiles(dir / "old/core", dir / "new/core", files);
    EXPECT_FALSE(anyTemporaryLeft(dir / "new"));
#ifndef _WIN32
    // mingw-w64's library counts one link for every file.
    EXPECT_EQ(std::filesystem::hard_link_count(dir / "old/core/bin/core"), 2u);
#endif
}

TEST(SharedFiles, RefusesDamagedSourcesBadDigestsAndUnsafeNames) {
    TempDir dir;
    writeFile(dir / "old/a", "content");
    const std::string digest = hashBytes("content", "sha256");
    std::string upper = digest;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_ZARVO_ERROR(linkVerifiedFile(dir / "old/a", dir / "new/a", upper), "HASH_MISMATCH", kDamaged);
    EXPECT_ZARVO_ERROR(linkVerifiedFile(dir / "old/missing", dir / "new/a", digest), "HASH_MISMATCH", kDamaged);
    EXPECT_ZARVO_ERROR(linkVerifiedFile(dir / "old/a", dir / "new/a", hashBytes("other", "sha256")),
                       "HASH_MISMATCH", kDamaged);
    EXPECT_FALSE(std::filesystem::exists(dir / "new"));

    Json::Value files(Json::objectValue);
    files["../a"] = digest;
    EXPECT_THROW(linkSharedFiles(dir / "old", dir / "new", files), Error);
    EXPECT_FALSE(std::filesystem::exists(dir / "new"));

    // A destination that cannot be replaced (a folder with content) fails
    // after the temporary link was made; no temporary survives.
    writeFile(dir / "new/a/inside", "x");
    EXPECT_THROW(linkVerifiedFile(dir / "old/a", dir / "new/a", digest), std::filesystem::filesystem_error);
    EXPECT_FALSE(anyTemporaryLeft(dir / "new"));
}

}  // namespace
}  // namespace zarvo
