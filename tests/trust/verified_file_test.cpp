// Ceiling reads and atomic replacement on real files, including the failure
// paths that must leave the old file whole and no temporary behind.
#include "trust/verified_file.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <vector>

#include "support/temp_dir.h"
#include "support/expect_error.h"

namespace {

namespace fs = std::filesystem;
using zarvo::readFileLimited;
using zarvo::writeFileAtomic;
using zarvo::test::readFile;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

const std::string kSizeMessage = "Файл отсутствует или превышает допустимый размер: ";

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ReadFileLimited, AcceptsUpToTheCeiling) {
    TempDir dir;
    std::string bytes("ab\0\r\ncd\xff\n", 9);
    writeFile(dir / "doc", bytes);
    EXPECT_EQ(readFileLimited(dir / "doc", 9), bytes);  // exactly the ceiling, bytes untranslated
    EXPECT_EQ(readFileLimited(dir / "doc", zarvo::kJsonFileLimit), bytes);
    EXPECT_ZARVO_ERROR(readFileLimited(dir / "doc", 8), "LOCAL_ERROR", kSizeMessage + (dir / "doc").string());

    writeFile(dir / "empty", "");
    EXPECT_EQ(readFileLimited(dir / "empty", 0), "");

    std::string big(200000, 'x');  // more than one read block
    writeFile(dir / "big", big);
    EXPECT_EQ(readFileLimited(dir / "big", big.size()), big);
}

TEST(ReadFileLimited, RefusesAnOversizedFileWithoutLoadingIt) {
    TempDir dir;
    // A sparse terabyte: reading any of it before the size check would take
    // minutes and exhaust memory.
    auto path = dir / "huge";
    { std::ofstream(path).put('x'); }
    fs::resize_file(path, std::uintmax_t{1} << 40);
    EXPECT_ZARVO_ERROR(readFileLimited(path, zarvo::kJsonFileLimit), "LOCAL_ERROR", kSizeMessage + path.string());

    writeFile(dir / "limit", std::string(zarvo::kJsonFileLimit, 'a'));
    EXPECT_EQ(readFileLimited(dir / "limit", zarvo::kJsonFileLimit).size(), zarvo::kJsonFileLimit);
    writeFile(dir / "over", std::string(zarvo::kJsonFileLimit + 1, 'a'));
    EXPECT_ZARVO_ERROR(readFileLimited(dir / "over", zarvo::kJsonFileLimit), "LOCAL_ERROR",
                       kSizeMessage + (dir / "over").string());
}

TEST(ReadFileLimited, MissingFoldersAndLinks) {
    TempDir dir;
    auto missing = dir / "нет-файла.json";  // the message carries the path as UTF-8
    EXPECT_ZARVO_ERROR(readFileLimited(missing, 100), "LOCAL_ERROR", kSizeMessage + missing.string());
    EXPECT_ZARVO_ERROR(readFileLimited(dir.path(), 100), "LOCAL_ERROR", kSizeMessage + dir.path().string());

    writeFile(dir / "target", "linked");
    fs::create_symlink(dir / "target", dir / "link");
    EXPECT_EQ(readFileLimited(dir / "link", 6), "linked");
    EXPECT_ZARVO_ERROR(readFileLimited(dir / "link", 5), "LOCAL_ERROR", kSizeMessage + (dir / "link").string());

    fs::create_symlink(dir / "gone", dir / "dangling");
    EXPECT_ZARVO_ERROR(readFileLimited(dir / "dangling", 100), "LOCAL_ERROR",
                       kSizeMessage + (dir / "dangling").string());
    fs::create_directory_symlink(dir.path(), dir / "folder-link");
    EXPECT_ZARVO_ERROR(readFileLimited(dir / "folder-link", 100), "LOCAL_ERROR",
                       kSizeMessage + (dir / "folder-link").string());
}

TEST(WriteFileAtomic, CreatesFoldersAndReplacesWholeFiles) {
    TempDir dir;
    auto path = dir / "a" / "b" / "state.json";
    writeFileAtomic(path, "{\"v\":1}");
    EXPECT_EQ(readFile(path), "{\"v\":1}");
    writeFileAtomic(path, std::string("x\0y", 3));
    EXPECT_EQ(readFile(path), std::string("x\0y", 3));
    writeFileAtomic(path, "");
    EXPECT_EQ(readFile(path), "");
    EXPECT_EQ(namesIn(path.parent_path()), std::vector<std::string>{"state.json"});
}

TEST(WriteFileAtomic, WritesThroughASiblingTemporary) {
    TempDir dir;
    writeFile(dir / "doc.json", "old");
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO), 0);

    writeFileAtomic(dir / "doc.json", "new");

    alignas(inotify_event) char buffer[8192];
    ssize_t length = read(watch, buffer, sizeof buffer);
    close(watch);
    ASSERT_GT(length, 0);
    std::vector<std::pair<uint32_t, std::string>> events;
    for (char* at = buffer; at < buffer + length;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        events.emplace_back(event->mask & (IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO), event->name);
        at += sizeof(inotify_event) + event->len;
    }
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].first, static_cast<uint32_t>(IN_CREATE));
    EXPECT_TRUE(std::regex_match(events[0].second, std::regex(R"(doc\.json\.tmp-[0-9a-f]{32})"))) << events[0].second;
    EXPECT_EQ(events[1], std::make_pair(static_cast<uint32_t>(IN_MOVED_FROM), events[0].second));
    EXPECT_EQ(events[2], std::make_pair(static_cast<uint32_t>(IN_MOVED_TO), std::string("doc.json")));
    EXPECT_EQ(readFile(dir / "doc.json"), "new");
}

TEST(WriteFileAtomic, FailedMoveLeavesTheTargetAndNoTemporary) {
    TempDir dir;
    // A folder in the target's place cannot be replaced by a file, even by root.
    fs::create_directories(dir / "doc.json" / "inside");
    writeFile(dir / "doc.json" / "inside" / "keep", "kept");
    EXPECT_ZARVO_ERROR(writeFileAtomic(dir / "doc.json", "new"), "LOCAL_ERROR", "Не удалось заменить файл");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"doc.json"});
    EXPECT_EQ(readFile(dir / "doc.json" / "inside" / "keep"), "kept");
}

TEST(WriteFileAtomic, FailedCreateLeavesTheTarget) {
    TempDir dir;
    // The name is legal, but with the temporary suffix it passes the name length limit.
    std::string name(220, 'n');
    writeFile(dir / name, "old");
    EXPECT_ZARVO_ERROR(writeFileAtomic(dir / name, "new"), "LOCAL_ERROR",
                       "Не удалось сохранить файл. Проверьте свободное место.");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{name});
    EXPECT_EQ(readFile(dir / name), "old");
}

// Runs in a death-test child: 0 when the write failed with the disk-full error.
int writeUnderFileSizeLimit(const fs::path& path) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        return 4;
    }
    try {
        writeFileAtomic(path, std::string(100000, 'n'));
        return 1;
    } catch (const zarvo::Error& error) {
        bool expected = error.code() == "LOCAL_ERROR" &&
                        std::string(error.what()) == "Не удалось сохранить файл. Проверьте свободное место.";
        return expected ? 0 : 2;
    } catch (...) {
        return 3;
    }
}

TEST(WriteFileAtomic, FailedWriteLeavesTheTargetAndNoTemporary) {
    TempDir dir;
    writeFile(dir / "doc.json", "old");
    // A file size limit makes writes fail for root as a full disk would; it is
    // set in a child process so the test program keeps its own limits.
    EXPECT_EXIT(std::_Exit(writeUnderFileSizeLimit(dir / "doc.json")), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"doc.json"});
    EXPECT_EQ(readFile(dir / "doc.json"), "old");
}

}  // namespace
