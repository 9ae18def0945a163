// Extraction of real tar.gz and zip archives and of hand-made hostile ones:
// unsafe names, links, special files, case twins, lying sizes, damage, limits.
#include "install/archive_extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "support/expect_error.h"
#include "log/logger.h"
#include "platform/user_settings.h"
#include "support/child_process.h"
#include "support/tar_blocks.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using zarvo::extractArchive;
using zarvo::test::readFile;
using zarvo::test::runChild;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

constexpr std::uint64_t kCoreCeiling = 1073741824;
constexpr std::uint64_t kSelfCeiling = 134217728;

class Utf8Environment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(zarvo::platform::useUtf8CharacterType()); }
};
const auto* const utf8Environment = ::testing::AddGlobalTestEnvironment(new Utf8Environment);

using zarvo::test::tarData;
using zarvo::test::tarEnd;
using zarvo::test::tarFile;
using zarvo::test::tarHeader;

// Compresses bytes into a gzip file with libarchive's write side.
void writeGzip(const fs::path& path, const std::string& bytes) {
    archive* writer = archive_write_new();
    ASSERT_EQ(archive_write_add_filter_gzip(writer), ARCHIVE_OK);
    ASSERT_EQ(archive_write_set_format_raw(writer), ARCHIVE_OK);
    ASSERT_EQ(archive_write_open_filename(writer, path.c_str()), ARCHIVE_OK);
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, "data");
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_size(entry, static_cast<la_int64_t>(bytes.size()));
    ASSERT_EQ(archive_write_header(writer, entry), ARCHIVE_OK);
    ASSERT_EQ(archive_write_data(writer, bytes.data(), bytes.size()), static_cast<la_ssize_t>(bytes.size()));
    archive_entry_free(entry);
    ASSERT_EQ(archive_write_close(writer), ARCHIVE_OK);
    archive_write_free(writer);
}

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// Raw deflate made of stored blocks: valid compressed data without a compressor.
std::string storedDeflate(const std::string& data) {
    std::string out;
    std::size_t offset = 0;
    do {
        std::size_t length = std::min<std::size_t>(65535, data.size() - offset);
        bool last = offset + length == data.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(length & 0xFF);
        out += static_cast<char>(length >> 8);
        out += static_cast<char>(~length & 0xFF);
        out += static_cast<char>((~length >> 8) & 0xFF);
        out.append(data, offset, length);
        offset += length;
    } while (offset < data.size());
    return out;
}

// A zip with one deflated entry whose headers claim declaredSize bytes while
// the compressed data inflates to all of data.
std::string lyingZip(const std::string& name, const std::string& data, std::uint32_t declaredSize) {
    auto le16 = [](std::uint16_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; };
    auto le32 = [&](std::uint32_t v) { return le16(static_cast<std::uint16_t>(v)) + le16(static_cast<std::uint16_t>(v >> 16)); };
    const std::string compressed = storedDeflate(data);
    const std::uint32_t crc = crc32(data);
    const auto size = static_cast<std::uint32_t>(compressed.size());
    const auto nameLength = static_cast<std::uint16_t>(name.size());
    const std::uint16_t deflate = 8;
    std::string local = le32(0x04034b50) + le16(20) + le16(0) + le16(deflate) + le16(0) + le16(0x21) + le32(crc) +
                        le32(size) + le32(declaredSize) + le16(nameLength) + le16(0) + name;
    std::string central = le32(0x02014b50) + le16(0x031e) + le16(20) + le16(0) + le16(deflate) + le16(0) +
                          le16(0x21) + le32(crc) + le32(size) + le32(declaredSize) + le16(nameLength) + le16(0) +
                          le16(0) + le16(0) + le16(0) + le32(0100644u << 16) + le32(0) + name;
    auto centralOffset = static_cast<std::uint32_t>(local.size() + compressed.size());
    std::string end = le32(0x06054b50) + le16(0) + le16(0) + le16(1) + le16(1) +
                      le32(static_cast<std::uint32_t>(central.size())) + le32(centralOffset) + le16(0);
    return local + compressed + central + end;
}

unsigned permissionsOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777u;
}

std::string patterned(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + seed) % 251);
    }
    return bytes;
}

void runBsdtar(const std::vector<std::string>& arguments) {
    zarvo::test::ChildOptions options;
    options.environment["LC_ALL"] = "C.UTF-8";
    auto result = runChild("/usr/bin/bsdtar", arguments, options);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
}

TEST(ArchiveExtract, RealTarGzAndZipKeepContentAndPermissions) {
    TempDir dir;
    const fs::path tree = dir / "tree";
    const std::string big = patterned(3 * 65536 + 123, 7);
    writeFile(tree / "bin/app", "#!/bin/sh\necho ok\n");
    writeFile(tree / "data/big.bin", big);
    writeFile(tree / "data/readme.txt", "hello");
    writeFile(tree / "readonly.txt", "fixed");
    writeFile(tree / "Привет/файл.txt", "кириллица");
    writeFile(tree / "empty.txt", "");
    fs::create_directories(tree / "cache/empty");
    fs::permissions(tree / "bin/app", fs::perms(0755));
    fs::permissions(tree / "data/readme.txt", fs::perms(0640));
    fs::permissions(tree / "readonly.txt", fs::perms(0444));

    // "-C tree ." gives entries "./", "./bin/", "./bin/app": the bare "./" is skipped.
    runBsdtar({"-czf", (dir / "core.tar.gz").string(), "-C", tree.string(), "."});
    runBsdtar({"--format", "zip", "-cf", (dir / "core.zip").string(), "-C", tree.string(), "bin", "data",
               "readonly.txt", "Привет", "empty.txt", "cache"});

    for (const char* archiveName : {"core.tar.gz", "core.zip"}) {
        SCOPED_TRACE(archiveName);
        const fs::path out = dir / (std::string("out-") + archiveName);
        extractArchive(dir / archiveName, out, kCoreCeiling);
        EXPECT_EQ(readFile(out / "bin/app"), "#!/bin/sh\necho ok\n");
        EXPECT_EQ(readFile(out / "data/big.bin"), big);
        EXPECT_EQ(readFile(out / "data/readme.txt"), "hello");
        EXPECT_EQ(readFile(out / "Привет/файл.txt"), "кириллица");
        EXPECT_EQ(readFile(out / "empty.txt"), "");
        EXPECT_TRUE(fs::is_directory(out / "cache/empty"));
        EXPECT_EQ(permissionsOf(out / "bin/app"), 0755u);
        EXPECT_EQ(permissionsOf(out / "data/readme.txt"), 0640u);
        EXPECT_EQ(permissionsOf(out / "readonly.txt"), 0444u);
        std::size_t files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(out)) {
            files += entry.is_regular_file() ? 1 : 0;
        }
        EXPECT_EQ(files, 6u);
    }
}

TEST(ArchiveExtract, NamesThatLeaveTheFolderAreRefused) {
    for (const char* name : {"../x", "/abs", "C:/x", "a\\b", "a/../../x", "bin/./x", "a//b", "con", "..", "."}) {
        SCOPED_TRACE(name);
        TempDir dir;
        writeFile(dir / "evil.tar", tarFile(name, "owned") + tarEnd());
        EXPECT_ZARVO_ERROR(extractArchive(dir / "evil.tar", dir / "out/dest", kCoreCeiling), "UNSAFE_ARCHIVE",
                           "Опасный путь в архиве");
        EXPECT_FALSE(fs::exists(dir / "out/x"));
        EXPECT_FALSE(fs::exists("/abs"));
        EXPECT_TRUE(fs::is_empty(dir / "out/dest"));
    }
}

TEST(ArchiveExtract, LinksAndSpecialFilesAreRefused) {
    struct Case {
        std::string entry;
        const char* message;
    };
    const std::vector<Case> cases = {
        {tarHeader("link", '2', 0, 0777, "/etc/passwd"), "Символические ссылки в архиве запрещены"},
        {tarHeader("hard", '1', 0, 0644, "first.txt"), "Жёсткая ссылка в архиве запрещена"},
        {tarHeader("fifo", '6', 0), "Архив содержит специальный файл"},
        {tarHeader("chardev", '3', 0), "Архив содержит специальный файл"},
        {tarHeader("blockdev", '4', 0), "Архив содержит специальный файл"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        TempDir dir;
        writeFile(dir / "evil.tar", tarFile("first.txt", "before") + c.entry + tarEnd());
        EXPECT_ZARVO_ERROR(extractArchive(dir / "evil.tar", dir / "out", kCoreCeiling), "LOCAL_ERROR", c.message);
        // What came before the refused entry stays; the entry itself leaves nothing.
        EXPECT_EQ(readFile(dir / "out/first.txt"), "before");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 1);
    }
}

TEST(ArchiveExtract, RepeatedNamesAndCaseTwinsAreRefused) {
    const std::string message = "Архив содержит повторяющиеся пути или слишком много файлов";
    const std::vector<std::pair<std::string, std::string>> twins = {
        {tarFile("A.txt", "upper"), tarFile("a.txt", "lower")},
        {tarFile("a.txt", "one"), tarFile("A.TXT", "two")},
        {tarHeader("bin/", '5', 0, 0755), tarHeader("bin", '5', 0, 0755)},
        {tarFile("same", "one"), tarFile("./same", "two")},
    };
    for (const auto& [first, second] : twins) {
        TempDir dir;
        writeFile(dir / "twins.tar", first + second + tarEnd());
        EXPECT_ZARVO_ERROR(extractArchive(dir / "twins.tar", dir / "out", kCoreCeiling), "LOCAL_ERROR", message);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 1);
    }
    // Non-ASCII letters are not folded: these are two different names.
    TempDir dir;
    writeFile(dir / "cyrillic.tar", tarFile("Я.txt", "upper") + tarFile("я.txt", "lower") + tarEnd());
    extractArchive(dir / "cyrillic.tar", dir / "out", kCoreCeiling);
    EXPECT_EQ(readFile(dir / "out/Я.txt"), "upper");
    EXPECT_EQ(readFile(dir / "out/я.txt"), "lower");
}

TEST(ArchiveExtract, SizesAreCheckedBeforeAndDuringEachEntry) {
    TempDir dir;
    // A declared 200 MiB against a 128 MiB ceiling: refused before the file exists.
    writeFile(dir / "huge.tar", tarFile("small.txt", "ok") + tarHeader("huge.bin", '0', 200u << 20));
    EXPECT_ZARVO_ERROR(extractArchive(dir / "huge.tar", dir / "huge", kSelfCeiling), "LOCAL_ERROR",
                       "Распакованный архив превышает лимит");
    EXPECT_TRUE(fs::exists(dir / "huge/small.txt"));
    EXPECT_FALSE(fs::exists(dir / "huge/huge.bin"));

    // The budget covers the sum of all files: 60 + 60 bytes against 100.
    writeFile(dir / "sum.tar", tarFile("one", std::string(60, 'a')) + tarFile("two", std::string(60, 'b')) + tarEnd());
    EXPECT_ZARVO_ERROR(extractArchive(dir / "sum.tar", dir / "sum", 100), "LOCAL_ERROR",
                       "Распакованный архив превышает лимит");
    EXPECT_EQ(readFile(dir / "sum/one"), std::string(60, 'a'));
    EXPECT_FALSE(fs::exists(dir / "sum/two"));
    // Exactly the ceiling is fine.
    extractArchive(dir / "sum.tar", dir / "exact", 120);
    EXPECT_EQ(readFile(dir / "exact/two"), std::string(60, 'b'));

    // An entry that declares 10 bytes and delivers 300,000: stopped at the first
    // block, before any byte of it is written.
    const std::string delivered = patterned(300000, 5);
    writeFile(dir / "lying.zip", lyingZip("lie.txt", delivered, 10));
    EXPECT_ZARVO_ERROR(extractArchive(dir / "lying.zip", dir / "lying", kCoreCeiling), "LOCAL_ERROR",
                       "Архив превышает заявленный размер");
    EXPECT_EQ(fs::file_size(dir / "lying/lie.txt"), 0u);
    // The same archive telling the truth extracts, so the refusal above is about the size alone.
    writeFile(dir / "honest.zip", lyingZip("lie.txt", delivered, 300000));
    extractArchive(dir / "honest.zip", dir / "honest", kCoreCeiling);
    EXPECT_EQ(readFile(dir / "honest/lie.txt"), delivered);
    // An entry that delivers one byte too many is caught by the reader itself at its end.
    writeFile(dir / "one-more.zip", lyingZip("lie.txt", "0123456789X", 10));
    EXPECT_ZARVO_ERROR(extractArchive(dir / "one-more.zip", dir / "one-more", kCoreCeiling), "LOCAL_ERROR",
                       "Повреждённый архив");
}

TEST(ArchiveExtract, DamagedOrUnknownArchivesAreRefused) {
    TempDir dir;
    std::string tar = tarFile("first.txt", "intact") + tarFile("second.bin", patterned(300000, 3)) + tarEnd();
    writeFile(dir / "whole.tar", tar);
    writeGzip(dir / "whole.tar.gz", tar);
    std::string gz = readFile(dir / "whole.tar.gz");
    writeFile(dir / "cut.tar.gz", gz.substr(0, gz.size() / 2));
    EXPECT_ZARVO_ERROR(extractArchive(dir / "cut.tar.gz", dir / "cut", kCoreCeiling), "LOCAL_ERROR",
                       "Повреждённый архив");
    EXPECT_EQ(readFile(dir / "cut/first.txt"), "intact");

    // The data of the last file ends early.
    writeFile(dir / "short.tar", tar.substr(0, 512 + 512 + 512 + 100000));
    EXPECT_ZARVO_ERROR(extractArchive(dir / "short.tar", dir / "short", kCoreCeiling), "LOCAL_ERROR",
                       "Повреждённый архив");

    // A header whose checksum no longer matches.
    std::string flipped = tar;
    flipped[512 + 512 + 10] ^= 0x20;
    writeFile(dir / "flipped.tar", flipped);
    EXPECT_ZARVO_ERROR(extractArchive(dir / "flipped.tar", dir / "flipped", kCoreCeiling), "LOCAL_ERROR",
                       "Повреждённый архив");

    writeFile(dir / "text.tar.gz", "this is not an archive at all, just some text\n");
    EXPECT_ZARVO_ERROR(extractArchive(dir / "text.tar.gz", dir / "text", kCoreCeiling), "LOCAL_ERROR",
                       "Не удалось открыть архив");
    EXPECT_ZARVO_ERROR(extractArchive(dir / "missing.tar.gz", dir / "missing", kCoreCeiling), "LOCAL_ERROR",
                       "Не удалось открыть архив");

    // The intact archive extracts, compressed or not.
    extractArchive(dir / "whole.tar.gz", dir / "whole", kCoreCeiling);
    EXPECT_EQ(readFile(dir / "whole/second.bin"), patterned(300000, 3));
}

TEST(ArchiveExtract, NeverWritesThroughALinkInTheDestination) {
    TempDir dir;
    fs::create_directories(dir / "outside");
    fs::create_directories(dir / "out");
    fs::create_symlink(dir / "outside", dir / "out/sub");
    writeFile(dir / "through.tar", tarFile("sub/planted.txt", "owned") + tarEnd());
    EXPECT_ZARVO_ERROR(extractArchive(dir / "through.tar", dir / "out", kCoreCeiling), "UNSAFE_PATH",
                       "Символическая ссылка в папке установки");
    EXPECT_FALSE(fs::exists(dir / "outside/planted.txt"));

    // A link left where a file is to be written is not followed either.
    writeFile(dir / "target.txt", "keep");
    fs::create_directories(dir / "out2");
    fs::create_symlink(dir / "target.txt", dir / "out2/file.txt");
    writeFile(dir / "file.tar", tarFile("file.txt", "owned") + tarEnd());
    EXPECT_THROW(extractArchive(dir / "file.tar", dir / "out2", kCoreCeiling), zarvo::Error);
    EXPECT_EQ(readFile(dir / "target.txt"), "keep");
}

// A scratch folder on tmpfs when the machine has one: the limit test creates a
// hundred thousand folders, which costs minutes on a slow disk and a second in memory.
class ScratchDir {
public:
    ScratchDir() {
        std::error_code error;
        fs::path base = fs::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0
                            ? fs::path("/dev/shm")
                            : fs::temp_directory_path();
        std::string pattern = (base / "zarvo-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

TEST(ArchiveExtract, EntryCountLimit) {
    ScratchDir dir;
    // Directory entries are the cheapest entries to make and to unpack.
    std::string tar;
    tar.reserve(100001u * 512u + 1024u);
    char name[32];
    for (int i = 0; i < 100000; ++i) {
        std::snprintf(name, sizeof name, "d%03d/%03d/", i / 1000, i % 1000);
        tar += tarHeader(name, '5', 0, 0755);
    }
    tar += tarHeader("one-more/", '5', 0, 0755);
    writeFile(dir / "over.tar", tar + tarEnd());
    EXPECT_ZARVO_ERROR(extractArchive(dir / "over.tar", dir / "over", kCoreCeiling), "LOCAL_ERROR",
                       "Архив содержит повторяющиеся пути или слишком много файлов");
    // The first 100,000 entries were all unpacked (what precedes a failure stays);
    // the one beyond the limit was not.
    std::size_t folders = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "over")) {
        folders += entry.is_directory() ? 1 : 0;
    }
    EXPECT_EQ(folders, 100000u + 100u);
    EXPECT_TRUE(fs::is_directory(dir / "over/d099/999"));
    EXPECT_FALSE(fs::exists(dir / "over/one-more"));
}

TEST(ArchiveExtract, DebugModeLogsBeginAndCompletion) {
    TempDir dir;
    writeFile(dir / "two.tar", tarHeader("bin/", '5', 0, 0755) + tarFile("bin/app", "1234567") + tarEnd());
    zarvo::configureLog(dir / "log/bootstrap.log", true);
    extractArchive(dir / "two.tar", dir / "out", kCoreCeiling);
    zarvo::configureLog(dir / "log/bootstrap.log", false);
    extractArchive(dir / "two.tar", dir / "quiet", kCoreCeiling);
    std::string log = readFile(dir / "log/bootstrap.log");
    EXPECT_NE(log.find(" [DEBUG] extract.begin " + (dir / "two.tar").generic_string() + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" [DEBUG] extract.complete files=2 bytes=7\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("extract.begin"), log.rfind("extract.begin")) << "logged outside debug mode";
}

TEST(ArchiveExtract, Utf8CharacterTypeLeavesNumbersAlone) {
    EXPECT_TRUE(zarvo::platform::useUtf8CharacterType());
    EXPECT_STREQ(::setlocale(LC_NUMERIC, nullptr), "C");
    EXPECT_STREQ(::setlocale(LC_MESSAGES, nullptr), "C");
}

}  // namespace
