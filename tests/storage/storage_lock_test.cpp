// Lock files between threads and real processes: busy while held, free after
// release or a crash, never inherited by a started program, never through a link.
#include "storage/storage_lock.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/expect_error.h"
#include "support/helper_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using zarvo::lockStorageFile;
using zarvo::StorageLock;
using zarvo::test::readFile;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

using Helper = zarvo::test::HelperProcess;

TEST(LockStorageFile, CreatesTheFolderAndAnEmptyFile) {
    TempDir dir;
    const fs::path path = dir / "data/slot-locks/abc.lock";
    {
        StorageLock lock = lockStorageFile(path);
        EXPECT_TRUE(lock.held());
        EXPECT_TRUE(fs::is_regular_file(path));
        EXPECT_EQ(fs::file_size(path), 0u);
    }
    // The file stays between runs, still empty.
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(fs::file_size(path), 0u);
}

TEST(LockStorageFile, SecondOpenInThisProcessIsBusyUntilReleased) {
    TempDir dir;
    const fs::path path = dir / "bootstrap.lock";
    StorageLock first = lockStorageFile(path);
    ASSERT_TRUE(first.held());
    EXPECT_FALSE(lockStorageFile(path).held());
    bool heldOnThread = true;
    std::thread([&] { heldOnThread = lockStorageFile(path).held(); }).join();
    EXPECT_FALSE(heldOnThread);

    // Moving keeps one owner; releasing twice is harmless.
    StorageLock moved = std::move(first);
    EXPECT_FALSE(first.held());
    EXPECT_TRUE(moved.held());
    EXPECT_FALSE(lockStorageFile(path).held());
    moved.release();
    moved.release();
    EXPECT_FALSE(moved.held());
    EXPECT_TRUE(lockStorageFile(path).held());
    EXPECT_FALSE(StorageLock().held());
}

TEST(LockStorageFile, AnotherProcessFindsItBusy) {
    TempDir dir;
    const fs::path path = dir / "bootstrap.lock";
    {
        StorageLock mine = lockStorageFile(path);
        ASSERT_TRUE(mine.held());
        Helper other("hold", path);
        EXPECT_EQ(other.readLine(), "busy");
        EXPECT_EQ(other.finish(), 0);
    }
    Helper holder("hold", path);
    ASSERT_EQ(holder.readLine(), "held");
    EXPECT_FALSE(lockStorageFile(path).held());
    EXPECT_EQ(holder.finish(), 0);
    EXPECT_TRUE(lockStorageFile(path).held());
}

TEST(LockStorageFile, ACrashedHolderLeavesNoStaleLock) {
    TempDir dir;
    const fs::path path = dir / "slot-locks/abc.lock";
    Helper holder("hold", path);
    ASSERT_EQ(holder.readLine(), "held");
    EXPECT_FALSE(lockStorageFile(path).held());
    holder.kill();
    EXPECT_TRUE(lockStorageFile(path).held());
}

TEST(LockStorageFile, IsNotInheritedByAStartedProgram) {
    TempDir dir;
    const fs::path path = dir / "bootstrap.lock";
    StorageLock lock = lockStorageFile(path);
    ASSERT_TRUE(lock.held());
    Helper child("wait", path);
    ASSERT_EQ(child.readLine(), "ready");  // past exec

    // None of the child's descriptors is the lock file.
    const fs::path target = fs::canonical(path);
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(child.pid()) + "/fd")) {
        std::error_code ignored;
        EXPECT_NE(fs::read_symlink(entry.path(), ignored), target) << "descriptor " << entry.path().filename();
    }
    // And once this process lets go, the lock is free although the child still runs.
    lock.release();
    EXPECT_TRUE(lockStorageFile(path).held());
    EXPECT_EQ(child.finish(), 0);
}

TEST(LockStorageFile, RefusesLinksBeforeCreatingAnything) {
    TempDir dir;
    writeFile(dir / "outside/precious", "keep");
    fs::create_directories(dir / "data");
    const fs::path path = dir / "data/bootstrap.lock";
    lockStorageFile(path).release();
    fs::remove(path);
    fs::create_symlink(dir / "outside/precious", path);
    EXPECT_ZARVO_ERROR(lockStorageFile(path), "GUARD_UNSAFE_PATH",
                       "Ссылка в защищённой папке: " + path.string());
    EXPECT_EQ(readFile(dir / "outside/precious"), "keep");

    // A dangling link is not followed to create its target.
    fs::create_symlink(dir / "outside/new.lock", dir / "data/dangling.lock");
    EXPECT_ZARVO_ERROR(lockStorageFile(dir / "data/dangling.lock"), "GUARD_UNSAFE_PATH",
                       "Ссылка в защищённой папке: " + (dir / "data/dangling.lock").string());
    EXPECT_FALSE(fs::exists(dir / "outside/new.lock"));

    // A linked folder on the way: no lock folder appears behind it.
    fs::create_directory_symlink(dir / "outside", dir / "linked-data");
    const fs::path throughLink = dir / "linked-data/slot-locks/abc.lock";
    EXPECT_ZARVO_ERROR(lockStorageFile(throughLink), "GUARD_UNSAFE_PATH",
                       "Ссылка в защищённой папке: " + throughLink.string());
    EXPECT_FALSE(fs::exists(dir / "outside/slot-locks"));
}

TEST(LockStorageFile, OtherFailuresAreReported) {
    TempDir dir;
    fs::create_directories(dir / "data/bootstrap.lock");
    EXPECT_ZARVO_ERROR(lockStorageFile(dir / "data/bootstrap.lock"), "STORAGE_LOCK_FAILED",
                       "Не удалось заблокировать хранилище");
    // A file where the folder should be is the file system's own error.
    writeFile(dir / "file", "x");
    EXPECT_THROW(lockStorageFile(dir / "file/slot-locks/abc.lock"), fs::filesystem_error);
    EXPECT_EQ(readFile(dir / "file"), "x");
}

}  // namespace
