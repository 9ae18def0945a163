// Path guards against real links at several depths, and the lexical
// inside-the-root test.
#include "storage/path_guard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/expect_error.h"

namespace {

namespace fs = std::filesystem;
using zarvo::guardPath;
using zarvo::isWithinStorage;
using zarvo::test::TempDir;

const std::string kLinkMessage = "Ссылка в защищённой папке: ";

TEST(GuardPath, PassesPlainAndMissingPaths) {
    TempDir dir;
    fs::create_directories(dir / "data/slots/abc");
    EXPECT_NO_THROW(guardPath(dir / "data/slots/abc"));
    EXPECT_NO_THROW(guardPath(dir / "data/slots/abc/"));
    EXPECT_NO_THROW(guardPath(dir / "data/slots/abc/not/there/yet.lock"));
    EXPECT_NO_THROW(guardPath(dir / "no/such/thing/at/all"));
    EXPECT_NO_THROW(guardPath(dir.path() / "data//slots/./abc"));
    EXPECT_NO_THROW(guardPath(dir.path() / "data/slots/../slots/abc"));
    EXPECT_NO_THROW(guardPath("/"));
    EXPECT_NO_THROW(guardPath(""));
    EXPECT_FALSE(fs::exists(dir / "data/slots/abc/not")) << "the guard must create nothing";
}

TEST(GuardPath, RefusesALinkAtAnyLevel) {
    TempDir dir;
    fs::create_directories(dir / "outside/slots/abc");
    fs::create_directories(dir / "data/slots/abc");

    struct LinkCase {
        fs::path link;    // replaced by a link to a folder outside
        fs::path guarded; // the path handed to the guard
    };
    const std::vector<LinkCase> cases = {
        {dir / "data", dir / "data/slots/abc/file"},
        {dir / "data/slots", dir / "data/slots/abc"},
        {dir / "data/slots/abc", dir / "data/slots/abc"},
        {dir / "data/slots/abc", dir.path() / "data/slots/abc/"},
        {dir / "data/slots/abc", dir / "data/slots/abc/missing/deeper"},
        // ".." after a link: the system walks through the link, so the guard does too.
        {dir / "data/slots", dir.path() / "data/slots/../slots"},
    };
    for (const auto& [link, guarded] : cases) {
        fs::path saved = link.string() + ".saved";
        fs::rename(link, saved);
        fs::create_directory_symlink(dir / "outside", link);
        SCOPED_TRACE("link " + link.string() + ", guarded " + guarded.string());
        EXPECT_ZARVO_ERROR(guardPath(guarded), "GUARD_UNSAFE_PATH", kLinkMessage + guarded.string());
        fs::remove(link);
        fs::rename(saved, link);
    }

    // A dangling link and a link to a file count alike.
    fs::create_symlink(dir / "nowhere", dir / "data/dangling");
    EXPECT_ZARVO_ERROR(guardPath(dir / "data/dangling/x"), "GUARD_UNSAFE_PATH",
                       kLinkMessage + (dir / "data/dangling/x").string());
    zarvo::test::writeFile(dir / "outside/file", "x");
    fs::create_symlink(dir / "outside/file", dir / "data/bootstrap.lock");
    EXPECT_ZARVO_ERROR(guardPath(dir / "data/bootstrap.lock"), "GUARD_UNSAFE_PATH",
                       kLinkMessage + (dir / "data/bootstrap.lock").string());
}

TEST(GuardPath, RelativePathsAreCheckedFromTheWorkingFolder) {
    TempDir dir;
    fs::create_directories(dir / "outside");
    fs::create_directory_symlink(dir / "outside", dir / "link");
    fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    // The message names the path as it was given.
    EXPECT_ZARVO_ERROR(guardPath("link/x"), "GUARD_UNSAFE_PATH", kLinkMessage + "link/x");
    EXPECT_NO_THROW(guardPath("plain/x"));
    fs::current_path(previous);
}

TEST(IsWithinStorage, StrictlyInsideAndSafeNamesOnly) {
    const fs::path root = "/data/zarvo";
    struct WithinCase {
        fs::path path;
        bool within;
    };
    const std::vector<WithinCase> cases = {
        {"/data/zarvo/slots/0123456789abcdef01234567", true},
        {"/data/zarvo/slots/", true},
        {"/data/zarvo/slot-locks/x.lock", true},
        {"/data/zarvo/./slots/../downloads", true},
        {"/data/zarvo", false},
        {"/data/zarvo/", false},
        {"/data/zarvo/.", false},
        {"/data/zarvo/slots/..", false},
        {"/data/zarvo/../zarvo/slots", true},
        {"/data/zarvo/../other", false},
        {"/data/zarvo-other/slots", false},
        {"/data", false},
        {"/", false},
        {"/elsewhere/slots", false},
        {"/data/zarvo/slots/CON", false},
        {"/data/zarvo/slots/aux.txt", false},
        {"/data/zarvo/slots/name.", false},
        {"/data/zarvo/" + std::string(1025, 'a'), false},
    };
    for (const auto& [path, within] : cases) {
        EXPECT_EQ(isWithinStorage(root, path), within) << path;
    }
    EXPECT_TRUE(isWithinStorage("/data/zarvo/", "/data/zarvo/slots"));
    EXPECT_FALSE(isWithinStorage("/data/zarvo", ""));
}

TEST(IsWithinStorage, RelativePathsAreMadeAbsoluteFirst) {
    TempDir dir;
    fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_TRUE(isWithinStorage(dir.path(), "slots/abc"));
    EXPECT_TRUE(isWithinStorage(".", dir.path() / "slots"));
    EXPECT_FALSE(isWithinStorage(".", dir.path()));
    EXPECT_FALSE(isWithinStorage("slots", "."));
    fs::current_path(previous);
}

}  // namespace
