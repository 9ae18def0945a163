// Whole-folder moves that never replace what is at the target.
#include "platform/files.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using zarvo::test::readFile;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

TEST(FolderMove, MovesWholeOrLeavesBothSidesAsTheyWere) {
    TempDir dir;
    writeFile(dir / "old/inner/file.txt", "data");
    fs::create_directory(dir / "taken");
    EXPECT_EQ(zarvo::platform::moveFolderNoReplace(dir / "old", dir / "taken"), std::errc::file_exists);
    EXPECT_EQ(readFile(dir / "old/inner/file.txt"), "data");
    EXPECT_TRUE(fs::is_empty(dir / "taken"));

    EXPECT_EQ(zarvo::platform::moveFolderNoReplace(dir / "old", dir / "new"), std::error_code());
    EXPECT_FALSE(fs::exists(dir / "old"));
    EXPECT_EQ(readFile(dir / "new/inner/file.txt"), "data");
    EXPECT_EQ(zarvo::platform::moveFolderNoReplace(dir / "old", dir / "other"), std::errc::no_such_file_or_directory);
}

}  // namespace
