// Lock files and component locks between two opens in one process and between
// two real processes, a lock freed by a holder that was killed, and links or
// redirections at the locked path refused.
#include "platform/locks.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace zarvo::platform;
using zarvo::test::errorOf;
using zarvo::test::HelperProcess;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

TEST(LockFiles, BusyWhileAnotherOpenHoldsIt) {
    TempDir dir;
    auto first = openExclusiveLockFile(dir / "a.lock");
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->valid());
    EXPECT_FALSE(openExclusiveLockFile(dir / "a.lock").has_value());
    EXPECT_FALSE(openComponentFile(dir / "a.lock").has_value());
    // Locks of different files are independent.
    EXPECT_TRUE(openExclusiveLockFile(dir / "b.lock").has_value());
    first->reset();
    EXPECT_TRUE(openExclusiveLockFile(dir / "a.lock").has_value());
    EXPECT_THROW(openExclusiveLockFile(dir / "missing/folder.lock"), std::system_error);
}

TEST(LockFiles, ALinkOrRedirectionAtThePathIsRefusedNotFollowed) {
    TempDir dir;
    fs::create_directory(dir / "elsewhere");
    zarvo::test::FolderLink link(dir / "elsewhere", dir / "link.lock");
    EXPECT_EQ(errorOf([&] { openExclusiveLockFile(dir / "link.lock"); }), std::errc::too_many_symbolic_link_levels);
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

// What one process holds and what another then finds.
TEST(LockFiles, BetweenTwoProcesses) {
    struct Case {
        const char* helperMode;
        bool lockFileBusy;       // openExclusiveLockFile from this process
        bool componentFileBusy;  // openComponentFile from this process
    };
    for (const Case& c : {Case{"hold-lock", true, true}, Case{"hold-component", true, false}}) {
        TempDir dir;
        writeFile(dir / "file", "content");
        HelperProcess helper(c.helperMode, {zarvo::platform::pathToUtf8(dir / "file")});
        ASSERT_EQ(helper.status(), "held") << c.helperMode;
        EXPECT_EQ(!openExclusiveLockFile(dir / "file").has_value(), c.lockFileBusy) << c.helperMode;
        EXPECT_EQ(!openComponentFile(dir / "file").has_value(), c.componentFileBusy) << c.helperMode;

        helper.release();
        ASSERT_TRUE(helper.process().waitForExit(std::chrono::seconds(20)));
        EXPECT_EQ(helper.process().howEnded()->code, 0);
        EXPECT_TRUE(openExclusiveLockFile(dir / "file").has_value()) << c.helperMode;
    }
}

TEST(LockFiles, AKilledHolderLeavesNoLock) {
    TempDir dir;
    auto mine = openExclusiveLockFile(dir / "bootstrap.lock");
    {
        // The other side first: a lock this process holds is busy over there.
        HelperProcess helper("hold-lock", {zarvo::platform::pathToUtf8(dir / "bootstrap.lock")});
        EXPECT_EQ(helper.status(), "busy");
    }
    mine.reset();

    HelperProcess holder("hold-lock", {zarvo::platform::pathToUtf8(dir / "bootstrap.lock")});
    ASSERT_EQ(holder.status(), "held");
    EXPECT_FALSE(openExclusiveLockFile(dir / "bootstrap.lock").has_value());
    holder.process().end(1);
    ASSERT_TRUE(holder.process().waitForExit(std::chrono::seconds(20)));
#ifdef _WIN32
    EXPECT_EQ(holder.process().howEnded()->code, 1);
#else
    EXPECT_TRUE(holder.process().howEnded()->bySignal);
#endif
    EXPECT_TRUE(openExclusiveLockFile(dir / "bootstrap.lock").has_value());
}

TEST(ComponentLocks, HeldFilesAndFoldersStayPut) {
    TempDir dir;
    writeFile(dir / "core/bin/app.exe", "program");
    FileHandle folder = openComponentFolder(dir / "core/bin");
    auto file = openComponentFile(dir / "core/bin/app.exe");
    ASSERT_TRUE(file.has_value());
    // Readers are welcome, through the lock and beside it.
    char bytes[16] = {};
    EXPECT_EQ(std::string(bytes, readSome(*file, bytes, sizeof bytes)), "program");
    EXPECT_TRUE(openComponentFile(dir / "core/bin/app.exe").has_value());
    EXPECT_NO_THROW(openFileForReading(dir / "core/bin/app.exe"));

    const std::error_code written = errorOf([&] { OutputFile(dir / "core/bin/app.exe", OutputMode::Append); });
    std::error_code renamed;
    fs::rename(dir / "core/bin/app.exe", dir / "core/bin/other.exe", renamed);
    std::error_code movedFolder;
    fs::rename(dir / "core/bin", dir / "core/moved", movedFolder);
#ifdef _WIN32
    EXPECT_TRUE(renamed) << "a held file was renamed";
    EXPECT_TRUE(movedFolder) << "a held folder was moved";
    EXPECT_EQ(written, std::errc::device_or_resource_busy);
#else
    // Linux has no mandatory sharing: only writers that ask for the lock are kept out.
    EXPECT_FALSE(renamed);
    EXPECT_FALSE(movedFolder);
    EXPECT_FALSE(written);
#endif
}

TEST(ComponentLocks, RefuseLinksFoldersAndMissingFiles) {
    TempDir dir;
    writeFile(dir / "real/file", "x");
    zarvo::test::FolderLink link(dir / "real", dir / "linked");
    // POSIX calls a link opened as a folder no folder at all; Windows cannot
    // open a folder as a file, so it refuses one at the open itself.
    const std::vector<std::errc> linkAsFolder = {std::errc::too_many_symbolic_link_levels, std::errc::not_a_directory};
    const std::vector<std::errc> folderAsFile = {std::errc::invalid_argument, std::errc::permission_denied};
    struct Case {
        const char* name;
        std::function<void()> call;
        std::vector<std::errc> accepted;
    };
    const std::vector<Case> cases = {
        {"folder link", [&] { openComponentFolder(dir / "linked"); }, linkAsFolder},
        {"file as folder", [&] { openComponentFolder(dir / "real/file"); }, {std::errc::not_a_directory}},
        {"missing folder", [&] { openComponentFolder(dir / "missing"); }, {std::errc::no_such_file_or_directory}},
        {"missing file", [&] { openComponentFile(dir / "real/missing"); }, {std::errc::no_such_file_or_directory}},
        {"folder link as file", [&] { openComponentFile(dir / "linked"); }, {std::errc::too_many_symbolic_link_levels}},
        {"folder as file", [&] { openComponentFile(dir / "real"); }, folderAsFile},
    };
    for (const Case& c : cases) {
        const std::error_code error = errorOf(c.call);
        bool expected = false;
        for (std::errc accepted : c.accepted) {
            expected = expected || error == accepted;
        }
        EXPECT_TRUE(expected) << c.name << ": " << (error ? error.message() : "no error");
    }
}

}  // namespace
