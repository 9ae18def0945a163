// Entries by name on a path longer than the old Windows limit, which a
// default Windows takes only in the extended form: kinds, sizes, listings,
// renames, links, copies and removals, each with the standard library's
// result. On Windows also the forms in which paths reach the system.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "platform/file_entries.h"
#include "platform/files.h"
#include "platform_test_support.h"

#ifdef _WIN32
#include "platform/files_win32.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace zarvo::platform;
using zarvo::test::readText;
using zarvo::test::TempDir;

class DeepEntries : public ::testing::Test {
protected:
    void SetUp() override {
        while (pathToUtf8(deep).size() < 300) {
            deep /= "a-folder-name-long-enough-to-matter";
        }
        createPrivateFolders(deep / "folder/inner");
        writeNew(deep / "file", "bytes");
        writeNew(deep / "folder/inner/nested", "nested");
    }

    static void writeNew(const fs::path& path, std::string_view bytes) {
        FileHandle file = createNewFile(path);
        writeAll(file, bytes);
        closeFile(file);
    }

    static std::vector<std::string> namesBelow(const fs::path& root, const std::vector<FolderEntry>& entries) {
        std::vector<std::string> names;
        for (const FolderEntry& entry : entries) {
            names.push_back(pathToGenericUtf8(entry.path.lexically_relative(root)) + ":" +
                            std::to_string(static_cast<int>(entry.kind)));
        }
        return names;
    }

    TempDir dir;
    fs::path deep = dir.path();
};

TEST_F(DeepEntries, KindsAndSizesAreThoseOfTheEntries) {
    const struct {
        const char* name;
        EntryKind kind;
        std::error_code kindError;
        std::uintmax_t size;
        std::error_code sizeError;
    } cases[] = {
        {"file", EntryKind::file, {}, 5, {}},
        {"folder", EntryKind::folder, {}, static_cast<std::uintmax_t>(-1),
         std::make_error_code(std::errc::is_a_directory)},
        {"missing", EntryKind::missing, std::make_error_code(std::errc::no_such_file_or_directory),
         static_cast<std::uintmax_t>(-1), std::make_error_code(std::errc::no_such_file_or_directory)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code error;
        EXPECT_EQ(entryKind(deep / c.name, error), c.kind);
        EXPECT_EQ(error, c.kindError);
        EXPECT_EQ(followedEntryKind(deep / c.name, error), c.kind);
        EXPECT_EQ(error, c.kindError);
        EXPECT_EQ(entryKind(deep / c.name), c.kind);
        EXPECT_EQ(fileSize(deep / c.name, error), c.size);
        EXPECT_EQ(error, c.sizeError);
    }
}

TEST_F(DeepEntries, ListingsNameEveryEntryOnceAndFoldersBeforeTheirContents) {
    auto entries = namesBelow(deep, folderEntries(deep));
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"file:1", "folder:2"}));

    const auto tree = namesBelow(deep, folderTree(deep));
    EXPECT_EQ(tree.size(), 4u);
    const std::pair<const char*, const char*> ordered[] = {{"folder:2", "folder/inner:2"},
                                                           {"folder/inner:2", "folder/inner/nested:1"}};
    for (const auto& [before, after] : ordered) {
        EXPECT_LT(std::find(tree.begin(), tree.end(), before), std::find(tree.begin(), tree.end(), after)) << after;
    }
    EXPECT_NE(std::find(tree.begin(), tree.end(), "file:1"), tree.end());
}

// Each change, then what it leaves: the entry that must be there with its
// bytes, and the one that must be gone.
TEST_F(DeepEntries, ChangesTakeEffectAndRefusalsKeepTheStandardErrors) {
    const struct {
        const char* name;
        std::function<void()> change;
        std::errc refusal;  // std::errc{} when the change succeeds
        const char* present;
        const char* gone;
    } cases[] = {
        {"copy", [&] { copyFile(deep / "file", deep / "copy"); }, {}, "copy", ""},
        {"copy over an existing file", [&] { copyFile(deep / "file", deep / "copy"); }, std::errc::file_exists, "copy",
         ""},
        {"hard link", [&] {
             std::error_code error;
             createHardLink(deep / "file", deep / "link", error);
             if (error) {
                 throw std::system_error(error);
             }
         }, {}, "link", ""},
        {"rename over a file", [&] { renameEntry(deep / "copy", deep / "link"); }, {}, "link", "copy"},
        {"remove a file", [&] { EXPECT_TRUE(removeEntry(deep / "link")); }, {}, "file", "link"},
        {"remove what is gone", [&] { EXPECT_FALSE(removeEntry(deep / "link")); }, {}, "file", "link"},
        {"remove a full folder", [&] { removeEntry(deep / "folder"); }, std::errc::directory_not_empty,
         "folder/inner/nested", ""},
        {"remove an empty folder", [&] {
             removeEntry(deep / "folder/inner/nested");
             removeEntry(deep / "folder/inner");
         }, {}, "file", "folder/inner"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code refused;
        try {
            c.change();
        } catch (const std::system_error& error) {
            refused = error.code();
        }
        EXPECT_EQ(refused, c.refusal == std::errc{} ? std::error_code() : std::make_error_code(c.refusal));
        std::error_code error;
        EXPECT_NE(entryKind(deep / c.present, error), EntryKind::missing);
        if (*c.gone != '\0') {
            EXPECT_EQ(entryKind(deep / c.gone, error), EntryKind::missing);
        }
    }
    // The link and the copy hold the file's bytes; only the link is the file itself.
    std::error_code error;
    std::error_code ignored;
    createHardLink(deep / "file", deep / "link", error);
    copyFile(deep / "file", deep / "copy");
    EXPECT_EQ(readText(deep / "link"), "bytes");
    EXPECT_EQ(readText(deep / "copy"), "bytes");
    EXPECT_TRUE(sameFile(deep / "file", deep / "link", error));
    EXPECT_FALSE(sameFile(deep / "file", deep / "copy", error));
    EXPECT_FALSE(sameFile(deep / "file", deep / "missing", error));
    EXPECT_FALSE(error);
    EXPECT_FALSE(sameFile(deep / "missing", deep / "also-missing", error));
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

#ifdef _WIN32
TEST(SystemPath, LongPathsTakeTheExtendedFormAndShortOnesStayAsTheyAre) {
    const std::wstring name(100, L'n');
    const std::wstring tail = name + L"\\" + name + L"\\" + name;
    const std::wstring relative = (fs::current_path() / tail).native();
    const struct {
        const char* name;
        std::wstring given;
        std::wstring expected;
    } cases[] = {
        {"short", L"C:\\short\\name", L"C:\\short\\name"},
        {"short relative", L"short/name", L"short/name"},
        {"drive", L"C:\\" + tail, L"\\\\?\\C:\\" + tail},
        {"share", L"\\\\server\\share\\" + tail, L"\\\\?\\UNC\\server\\share\\" + tail},
        {"relative", tail, L"\\\\?\\" + relative},
        {"slashes", L"C:/" + name + L"/" + name + L"/" + name, L"\\\\?\\C:\\" + tail},
        {"dots", L"C:\\" + name + L"\\.\\x\\..\\" + name + L"\\" + name, L"\\\\?\\C:\\" + tail},
        {"extended", L"\\\\?\\C:\\" + name + L"\\..", L"\\\\?\\C:\\" + name + L"\\.."},
        {"device", L"\\\\.\\pipe\\" + tail, L"\\\\.\\pipe\\" + tail},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(systemPath(fs::path(c.given)), c.expected);
    }
    EXPECT_EQ(plainPath(L"\\\\?\\C:\\" + tail).native(), L"C:\\" + tail);
    EXPECT_EQ(plainPath(L"\\\\?\\UNC\\server\\share\\" + tail).native(), L"\\\\server\\share\\" + tail);
}
#endif

}  // namespace
