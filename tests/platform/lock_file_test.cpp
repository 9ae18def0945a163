// The platform lock file on its own: busy between opens, and a link at the
// lock path is refused by the open itself, never followed.
#include "platform/locks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using zarvo::platform::openExclusiveLockFile;
using zarvo::test::TempDir;

TEST(OpenExclusiveLockFile, BusyWhileAnotherOpenHoldsIt) {
    TempDir dir;
    auto first = openExclusiveLockFile(dir / "a.lock");
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->valid());
    EXPECT_FALSE(openExclusiveLockFile(dir / "a.lock").has_value());
    // Locks of different files are independent.
    EXPECT_TRUE(openExclusiveLockFile(dir / "b.lock").has_value());
    first->reset();
    EXPECT_TRUE(openExclusiveLockFile(dir / "a.lock").has_value());
}

TEST(OpenExclusiveLockFile, ALinkAtThePathIsNotFollowed) {
    TempDir dir;
    fs::create_symlink(dir / "target.lock", dir / "link.lock");
    try {
        openExclusiveLockFile(dir / "link.lock");
        ADD_FAILURE() << "a link was opened";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ELOOP);
    }
    EXPECT_FALSE(fs::exists(dir / "target.lock"));
    EXPECT_THROW(openExclusiveLockFile(dir / "missing/folder.lock"), std::system_error);
}

}  // namespace
