// Files through the layer on real folders: what is refused and with which
// error, the replacement that readers never see half done, tails, the
// installer's files, folder moves and watches, and path text.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/files.h"
#include "platform_test_support.h"

#ifdef _WIN32
#include <aclapi.h>
#include <sddl.h>

#include "platform/private_access_win32.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace zarvo::platform;
using zarvo::test::errorOf;
using zarvo::test::readText;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

TEST(Files, OpensRefuseWhatTheySayTheyRefuse) {
    TempDir dir;
    writeFile(dir / "file", "bytes");
    fs::create_directory(dir / "folder");
    // Windows cannot open a folder as a file at all, so there a folder is
    // refused by the open itself rather than after it.
    const auto folderRefused = {std::errc::invalid_argument, std::errc::is_a_directory, std::errc::permission_denied};
    struct Case {
        const char* name;
        std::function<void()> call;
        std::vector<std::errc> accepted;
    };
    const std::vector<Case> cases = {
        {"read a folder", [&] { openFileForReading(dir / "folder"); }, {std::errc::is_a_directory}},
        {"read a missing file", [&] { openFileForReading(dir / "missing"); }, {std::errc::no_such_file_or_directory}},
        {"create over a file", [&] { createNewFile(dir / "file"); }, {std::errc::file_exists}},
        {"create in a missing folder", [&] { createNewFile(dir / "missing/file"); },
         {std::errc::no_such_file_or_directory}},
        {"copy onto a file", [&] { copyFileToNew(dir / "file", dir / "file"); }, {std::errc::file_exists}},
        {"copy a folder", [&] { copyFileToNew(dir / "folder", dir / "copy"); }, folderRefused},
        {"tail of a folder", [&] { readFileTail(dir / "folder", 10); }, folderRefused},
        {"tail of a missing file", [&] { readFileTail(dir / "missing", 10); }, {std::errc::no_such_file_or_directory}},
    };
    for (const Case& c : cases) {
        const std::error_code error = errorOf(c.call);
        bool expected = false;
        for (std::errc accepted : c.accepted) {
            expected = expected || error == accepted;
        }
        EXPECT_TRUE(expected) << c.name << ": " << (error ? error.message() : "no error");
    }
    EXPECT_EQ(readText(dir / "file"), "bytes");
    EXPECT_FALSE(fs::exists(dir / "copy"));
}

TEST(Files, ReplacementIsWholeEvenOverAnOpenFile) {
    TempDir dir;
    writeFile(dir / "document", "old");
    writeFile(dir / "document.tmp", "new");
    FileHandle reader = openFileForReading(dir / "document");
    const std::error_code error = errorOf([&] { replaceFileDurably(dir / "document.tmp", dir / "document"); });
    if (zarvo::test::underWine()) {
        // Wine refuses to rename over a file that is open, even one shared for deletion; nothing is lost.
        EXPECT_EQ(error, std::errc::permission_denied);
        EXPECT_EQ(readText(dir / "document"), "old");
        EXPECT_EQ(readText(dir / "document.tmp"), "new");
        reader.reset();
        replaceFileDurably(dir / "document.tmp", dir / "document");
    } else {
        EXPECT_EQ(error, std::error_code());
        char bytes[8] = {};
        EXPECT_EQ(std::string(bytes, readSome(reader, bytes, sizeof bytes)), "old");  // the reader keeps what it opened
    }
    EXPECT_EQ(readText(dir / "document"), "new");
    EXPECT_FALSE(fs::exists(dir / "document.tmp"));

    // A source that is not there leaves the target as it was.
    EXPECT_EQ(errorOf([&] { replaceFileDurably(dir / "gone.tmp", dir / "document"); }),
              std::errc::no_such_file_or_directory);
    EXPECT_EQ(readText(dir / "document"), "new");
}

TEST(Files, OutputFilesTruncateOrAppendAndCanBeReadMeanwhile) {
    TempDir dir;
    writeFile(dir / "log", "earlier\n");
    {
        OutputFile log(dir / "log", OutputMode::Append);
        log.write("line one\n", 9);
        log.startWriteBack(0, 9);
        log.write("line two\n", 9);
        // Another reader meanwhile, as the copy-logs button does.
        const FileTail tail = readFileTail(dir / "log", 9);
        EXPECT_EQ(tail.size, 26u);
        EXPECT_EQ(tail.bytes, "line two\n");
    }
    struct Case {
        std::size_t limit;
        const char* bytes;
    };
    for (const Case& c : {Case{0, ""}, Case{4, "two\n"}, Case{1000, "earlier\nline one\nline two\n"}}) {
        EXPECT_EQ(readFileTail(dir / "log", c.limit).bytes, c.bytes) << c.limit;
    }
    OutputFile truncated(dir / "log", OutputMode::Truncate);
    truncated.write("fresh", 5);
    truncated.close();
    EXPECT_EQ(readText(dir / "log"), "fresh");
    EXPECT_FALSE(truncated.isOpen());
}

TEST(Files, InstallerFilesReplaceContentAndCopiesKeepIt) {
    TempDir dir;
    writeFile(dir / "program", "a much longer old content");
    FileHandle file = openFileForReplacing(dir / "program");
    writeAll(file, "new");
    setFilePermissions(file, 0751);
    closeFile(file);
    EXPECT_EQ(readText(dir / "program"), "new");

    copyFileToNew(dir / "program", dir / "copy");
    EXPECT_EQ(readText(dir / "copy"), "new");
#ifndef _WIN32
    EXPECT_EQ(fs::status(dir / "copy").permissions(), static_cast<fs::perms>(0751));
#endif
}

TEST(Files, LinksAtThePathItselfAreRefused) {
    TempDir dir;
    fs::create_directory(dir / "target");
    zarvo::test::FolderLink link(dir / "target", dir / "redirect");
    EXPECT_TRUE(fs::is_empty(dir / "target"));
    for (auto open : {+[](const fs::path& p) { OutputFile(p, OutputMode::Append); },
                      +[](const fs::path& p) { openFileForReplacing(p); }}) {
        EXPECT_EQ(errorOf([&] { open(dir / "redirect"); }), std::errc::too_many_symbolic_link_levels);
    }
    EXPECT_TRUE(fs::is_empty(dir / "target"));
#ifdef _WIN32
    EXPECT_TRUE(hasRedirectionAttribute(dir / "redirect"));
#else
    EXPECT_FALSE(hasRedirectionAttribute(dir / "redirect"));  // a symbolic link, which callers test themselves
#endif
    EXPECT_FALSE(hasRedirectionAttribute(dir / "target"));
    EXPECT_FALSE(hasRedirectionAttribute(dir / "missing"));
}

TEST(Files, FolderMovesNeverReplaceAndTreesFlush) {
    TempDir dir;
    writeFile(dir / "old/inner/file.txt", "data");
    fs::create_directory(dir / "taken");
    writeFile(dir / "full/x", "x");
    EXPECT_EQ(moveFolderNoReplace(dir / "old", dir / "taken"), std::errc::file_exists);
    EXPECT_EQ(moveFolderNoReplace(dir / "old", dir / "full"), std::errc::file_exists);
    EXPECT_EQ(readText(dir / "old/inner/file.txt"), "data");
    EXPECT_TRUE(fs::is_empty(dir / "taken"));

    flushFolderTree(dir / "old");
    EXPECT_EQ(moveFolderNoReplace(dir / "old", dir / "new"), std::error_code());
    EXPECT_FALSE(fs::exists(dir / "old"));
    EXPECT_EQ(readText(dir / "new/inner/file.txt"), "data");
    EXPECT_EQ(moveFolderNoReplace(dir / "old", dir / "other"), std::errc::no_such_file_or_directory);
    EXPECT_THROW(flushFolderTree(dir / "old"), std::system_error);
}

// Linux swaps in one step where the file system can; Windows says it cannot,
// and then nothing has moved.
TEST(Files, FolderExchangeSwapsBothOrSaysItCannot) {
    TempDir dir;
    writeFile(dir / "current/bin/program", "old");
    writeFile(dir / "candidate/bin/program", "new");
    const std::error_code exchanged = exchangeFolders(dir / "candidate", dir / "current");
    if (exchanged == std::errc::function_not_supported) {
        EXPECT_EQ(readText(dir / "current/bin/program"), "old");
        EXPECT_EQ(readText(dir / "candidate/bin/program"), "new");
        return;
    }
    ASSERT_EQ(exchanged, std::error_code());
    EXPECT_EQ(readText(dir / "current/bin/program"), "new");
    EXPECT_EQ(readText(dir / "candidate/bin/program"), "old");
    EXPECT_EQ(exchangeFolders(dir / "candidate", dir / "missing"), std::errc::no_such_file_or_directory);
    EXPECT_EQ(readText(dir / "candidate/bin/program"), "old");
}

#ifdef _WIN32
// An access list as descriptor text.
std::wstring descriptorText(PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                           &text, nullptr);
    std::wstring rules = text != nullptr ? text : L"<none>";
    ::LocalFree(text);
    return rules;
}

// A folder's access list as the system reads it back.
std::wstring folderRules(const fs::path& folder) {
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                                nullptr, &descriptor) != ERROR_SUCCESS) {
        return L"<unreadable>";
    }
    std::wstring rules = descriptorText(descriptor);
    ::LocalFree(descriptor);
    return rules;
}
#endif

TEST(Files, PrivateFoldersAreMadeWithTheirParents) {
    TempDir dir;
    createPrivateFolders(dir / "a/b/c");
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    createPrivateFolders(dir / "a/b/c");  // already there: nothing to do
    writeFile(dir / "file", "");
    EXPECT_THROW(createPrivateFolders(dir / "file/sub"), fs::filesystem_error);
    EXPECT_THROW(restrictToOwner(dir / "missing"), std::system_error);
#ifdef _WIN32
    EXPECT_FALSE(restrictToOwner(dir / "a"));  // private by the profile's access rules already
    // Each new folder carries its own protected rules: the user and the system account.
    const std::wstring rules = L"D:P(A;OICI;FA;;;" + currentUserSidText() + L")(A;OICI;FA;;;SY)";
    EXPECT_EQ(descriptorText(privateFolderAttributes()->lpSecurityDescriptor), rules);
    // Wine keeps no access lists on files (it shows ones made from the Unix
    // mode), so only Windows reads the folders' own back.
    if (!zarvo::test::underWine()) {
        EXPECT_EQ(folderRules(dir / "a/b"), rules);
    }
    // An existing folder keeps what it had.
    fs::create_directory(dir / "existing");
    const std::wstring before = folderRules(dir / "existing");
    createPrivateFolders(dir / "existing/new");
    EXPECT_EQ(folderRules(dir / "existing"), before);
    if (!zarvo::test::underWine()) {
        EXPECT_EQ(folderRules(dir / "existing/new"), rules);
    }
#else
    EXPECT_EQ(fs::status(dir / "a/b").permissions(), fs::perms::owner_all);
    fs::permissions(dir / "a", static_cast<fs::perms>(0755));
    EXPECT_TRUE(restrictToOwner(dir / "a"));
    EXPECT_FALSE(restrictToOwner(dir / "a"));
    EXPECT_EQ(fs::status(dir / "a").permissions(), fs::perms::owner_all);
#endif
}

TEST(Files, FolderWatchWakesOnANewEntryAndOtherwiseWaitsOut) {
    using namespace std::chrono;
    TempDir dir;
    FolderWatch watch(dir.path());
    auto start = steady_clock::now();
    watch.waitForChange(milliseconds(300));
    EXPECT_GE(steady_clock::now() - start, milliseconds(250));

    std::thread writer([&] {
        std::this_thread::sleep_for(milliseconds(100));
        writeFile(dir / "ready-file", "token");
    });
    start = steady_clock::now();
    watch.waitForChange(seconds(20));
    EXPECT_LT(steady_clock::now() - start, seconds(10));
    writer.join();

    // A watch on a folder that is not there waits out its time-out.
    FolderWatch nowhere(dir / "missing");
    start = steady_clock::now();
    nowhere.waitForChange(milliseconds(200));
    EXPECT_GE(steady_clock::now() - start, milliseconds(150));
}

TEST(Files, PathTextIsUtf8BothWays) {
    TempDir dir;
    const fs::path path = pathFromUtf8("папка с пробелом/файл.txt");
    EXPECT_EQ(pathToGenericUtf8(path), "папка с пробелом/файл.txt");
#ifdef _WIN32
    EXPECT_EQ(pathToUtf8(path), "папка с пробелом\\файл.txt");
    EXPECT_EQ(errorOf([] { pathFromUtf8("\xff\xfe"); }), std::errc::illegal_byte_sequence);
#else
    EXPECT_EQ(pathToUtf8(path), "папка с пробелом/файл.txt");
#endif
    writeFile(dir.path() / path, "содержимое");
    EXPECT_EQ(readText(pathFromUtf8(pathToUtf8(dir.path() / path))), "содержимое");
}

// A default Windows takes these only in the extended form, which the layer
// gives them; Wine takes either form.
TEST(Files, PathsLongerThanTheOldLimitWork) {
    TempDir dir;
    fs::path folder = dir.path();
    while (pathToUtf8(folder).size() < 300) {
        folder /= pathFromUtf8("очень-длинное-имя-папки");
    }
    createPrivateFolders(folder);
    FileHandle file = createNewFile(folder / "document.tmp");
    writeAll(file, "long");
    closeFile(file);
    replaceFileDurably(folder / "document.tmp", folder / "document");
    EXPECT_EQ(readText(folder / "document"), "long");
    EXPECT_EQ(readFileTail(folder / "document", 2).bytes, "ng");
}

}  // namespace
