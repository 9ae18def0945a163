// The relative-path test as an accept/reject table, and the join to a root
// against real symbolic links.
#include "install/safe_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "support/temp_dir.h"
#include "support/expect_error.h"

namespace {

namespace fs = std::filesystem;
using zarvo::isSafeRelativePath;
using zarvo::resolveInstallPath;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

struct PathCase {
    std::string path;
    bool safe;
};

// A path of exactly the given length made of "a/" pieces and a last name.
std::string pathOfLength(std::size_t length) {
    std::string path;
    while (path.size() + 2 < length) {
        path += "a/";
    }
    path.append(length - path.size(), 'b');
    return path;
}

TEST(IsSafeRelativePath, AcceptsPortableNamesAndRefusesTheRest) {
    const std::vector<PathCase> cases = {
        {"core/bin/app.exe", true},
        {"a", true},
        {pathOfLength(1024), true},
        {pathOfLength(1025), false},
        {"", false},
        {"/core", false},
        {"core/", false},
        {"core//bin", false},
        {"./core", false},
        {"core/.", false},
        {"core/../x", false},
        {"..", false},
        {"C:/x", false},
        {"core\\bin", false},
        {"a/b:c", false},
        {"a<b", false},
        {"a>b", false},
        {"a\"b", false},
        {"a|b", false},
        {"a?b", false},
        {"a*b", false},
        {std::string("a\0b", 3), false},
        {"a/b\x01", false},
        {"a\tb", false},
        {"a\x1f", false},
        {"a\x7f", true},
        {"name.", false},
        {"dir./x", false},
        {"name ", false},
        {"dir /x", false},
        {" leading", true},
        {"a/ b", true},
        {".hidden", true},
        {"dir/.config/x", true},
        {"Документы/файл.txt", true},
        {"\xff\xfe", true},
        // Reserved device names, compared before the first dot, ASCII upper-cased.
        {"COM0", true},
        {"LPT0", true},
        {"CONSOLE", true},
        {"NULL.txt", true},
        {"COM10", true},
        {"COMA", true},
        {"CONIN", true},
        {"CONOUT", true},
        {"xcon", true},
        {"con", false},
        {"CON", false},
        {"prn", false},
        {"Aux.txt", false},
        {"nul.tar.gz", false},
        {"com1.log", false},
        {"COM9", false},
        {"LPT9", false},
        {"lpt1", false},
        {"dir/aux/x", false},
        // Superscript one, two and three count as port digits too.
        {"COM\xC2\xB9", false},
        {"com\xC2\xB2.txt", false},
        {"LPT\xC2\xB2", false},
        {"lpt\xC2\xB3.txt", false},
        {"COM\xC2\xB9\xC2\xB9", true},
        {"COM\xC2\xB4", true},
        {"COM\xC2", true},
        {"CONIN$", false},
        {"conin$.txt", false},
        {"CONOUT$", false},
        {"conout$.log", false},
        {"dir/Conout$", false},
        {"CONIN$X", true},
        {"$CONIN", true},
        // Blanks before the extension do not make a device name a file name.
        {"nul .txt", false},
        {"CON  .tar.gz", false},
        {"dir/com1 .log/x", false},
        {"lpt\xC2\xB9 .txt", false},
        {"con x.txt", true},
        {" con.txt", true},
        // Alternate data streams.
        {"file.txt:stream", false},
        {"file.txt::$DATA", false},
    };
    for (const auto& [path, safe] : cases) {
        EXPECT_EQ(isSafeRelativePath(path), safe) << "path \"" << path << "\" (" << path.size() << " bytes)";
    }
}

TEST(ResolveInstallPath, JoinsSafePathsToTheRoot) {
    TempDir dir;
    fs::create_directories(dir / "root/core");
    EXPECT_EQ(resolveInstallPath(dir / "root", "core/bin/app.exe"), dir.path() / "root/core/bin/app.exe");
    EXPECT_EQ(resolveInstallPath(dir / "root", "новый/файл"),
              dir.path() / zarvo::platform::pathFromUtf8("root/новый/файл"));
    // A root that does not exist yet is no link.
    EXPECT_EQ(resolveInstallPath(dir / "missing", "x"), dir.path() / "missing/x");
    // A name too long for the file system is joined like any other; creating it fails later.
    const std::string longName(300, 'a');
    EXPECT_EQ(resolveInstallPath(dir / "root", longName + "/x"), dir.path() / "root" / longName / "x");
    EXPECT_ZARVO_ERROR(resolveInstallPath(dir / "root", "core/../../x"), "UNSAFE_PATH", "Опасный путь в манифесте");
    EXPECT_ZARVO_ERROR(resolveInstallPath(dir / "root", "/etc/passwd"), "UNSAFE_PATH", "Опасный путь в манифесте");
}

TEST(ResolveInstallPath, ANameThatIsNotUtf8IsUnsafeWherePathsAreUtf16) {
    TempDir dir;
#ifdef _WIN32
    EXPECT_ZARVO_ERROR(resolveInstallPath(dir.path(), "a/\xff\xfe"), "UNSAFE_PATH", "Опасный путь в манифесте");
#else
    EXPECT_EQ(resolveInstallPath(dir.path(), "a/\xff\xfe"), dir.path() / "a/\xff\xfe");
#endif
}

TEST(ResolveInstallPath, RefusesLinksAndTouchesNothing) {
    TempDir dir;
    fs::create_directories(dir / "real/core");
    writeFile(dir / "outside/target", "keep");
    fs::create_directory_symlink(dir / "real", dir / "linked-root");

    EXPECT_ZARVO_ERROR(resolveInstallPath(dir / "linked-root", "core/app"), "LOCAL_ERROR",
                       "Символическая ссылка вместо папки установки");
    // A trailing separator must not make the root query follow the link.
    EXPECT_ZARVO_ERROR(resolveInstallPath(dir.path() / "linked-root/", "core/app"), "LOCAL_ERROR",
                       "Символическая ссылка вместо папки установки");

    fs::create_directories(dir / "root");
    fs::create_directory_symlink(dir / "outside", dir / "root/core");
    EXPECT_ZARVO_ERROR(resolveInstallPath(dir / "root", "core/app"), "UNSAFE_PATH",
                       "Символическая ссылка в папке установки");
    EXPECT_ZARVO_ERROR(resolveInstallPath(dir / "root", "core"), "UNSAFE_PATH",
                       "Символическая ссылка в папке установки");

    fs::create_directories(dir / "root2/deep/er");
    fs::create_symlink(dir / "outside/target", dir / "root2/deep/er/file");
    EXPECT_ZARVO_ERROR(resolveInstallPath(dir / "root2", "deep/er/file"), "UNSAFE_PATH",
                       "Символическая ссылка в папке установки");
    // A dangling link is a link all the same.
    fs::create_symlink(dir / "nowhere", dir / "root2/dangling");
    EXPECT_ZARVO_ERROR(resolveInstallPath(dir / "root2", "dangling/x"), "UNSAFE_PATH",
                       "Символическая ссылка в папке установки");
    // Siblings of the links are still fine.
    EXPECT_EQ(resolveInstallPath(dir / "root2", "deep/er/other"), dir.path() / "root2/deep/er/other");

    // Nothing was created, removed or followed.
    EXPECT_FALSE(fs::exists(dir / "real/core/app"));
    EXPECT_FALSE(fs::exists(dir / "outside/app"));
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_FALSE(fs::exists(dir / "root2/deep/er/other"));
    EXPECT_TRUE(fs::is_symlink(dir / "root/core"));
    EXPECT_EQ(zarvo::test::readFile(dir / "outside/target"), "keep");
}

}  // namespace
