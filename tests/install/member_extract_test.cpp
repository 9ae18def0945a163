// One member of a core archive: exactly the listed file, or a refusal that
// leaves nothing behind. Members are written as raw tar blocks, with a real
// gzip member for the ordinary case.
#include "install/member_extract.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/child_process.h"
#include "support/expect_error.h"
#include "support/tar_blocks.h"
#include "support/temp_dir.h"
#include "trust/error.h"
#include "trust/hashing.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

std::string header(const std::string& name, char type, std::uint64_t size, const std::string& link = "") {
    return tarHeader(name, type, size, 0644, link);
}

std::string file(const std::string& name, const std::string& data, char type = '0', const std::string& link = "") {
    return header(name, type, data.size(), link) + tarData(data);
}

class MemberExtractTest : public ::testing::Test {
protected:
    // The member placed between other bytes, as it lies in a fetched range.
    MemberSlice place(const std::string& member) {
        writeFile(dir / "range", std::string(700, 'x') + member + std::string(300, 'y'));
        return MemberSlice{dir / "range", 700, member.size()};
    }

    std::uint64_t extract(const std::string& member, std::uint64_t budget = 1 << 20) {
        return extractMember(place(member), "bin/app", hashBytes("program", "sha256"), target, budget);
    }

    TempDir dir;
    fs::path target = dir / "core/bin/app";
};

TEST_F(MemberExtractTest, WritesTheOneListedFile) {
    EXPECT_EQ(extract(file("bin/app", "program")), 7u);
    EXPECT_EQ(readFile(target), "program");
    // A real gzip member, as the release tool writes them.
    fs::remove(target);
    writeFile(dir / "member.tar", file("./bin/app", "program"));
    ChildResult zipped = runChild("/bin/gzip", {"-n", (dir / "member.tar").string()});
    ASSERT_EQ(zipped.exitCode, 0);
    EXPECT_EQ(extract(readFile(dir / "member.tar.gz")), 7u);
    EXPECT_EQ(readFile(target), "program");
}

TEST_F(MemberExtractTest, RefusesEverythingButExactlyThatFile) {
    const struct {
        const char* name;
        std::string member;
        const char* code;
        const char* message;
    } cases[] = {
        {"another name", file("bin/other", "program"), "LOCAL_ERROR", "Повреждённый архив"},
        {"two entries", file("bin/app", "program") + file("bin/more", "x"), "LOCAL_ERROR", "Повреждённый архив"},
        {"the file twice", file("bin/app", "program") + file("bin/app", "program"), "LOCAL_ERROR",
         "Повреждённый архив"},
        {"a folder", header("bin/app/", '5', 0), "LOCAL_ERROR", "Повреждённый архив"},
        {"a symbolic link", header("bin/app", '2', 0, "/etc/passwd"), "LOCAL_ERROR",
         "Символические ссылки в архиве запрещены"},
        {"a hard link", header("bin/app", '1', 0, "bin/core"), "LOCAL_ERROR", "Жёсткая ссылка в архиве запрещена"},
        {"a device", header("bin/app", '3', 0), "LOCAL_ERROR", "Архив содержит специальный файл"},
        {"outside the core", file("../bin/app", "program"), "UNSAFE_ARCHIVE", "Опасный путь в архиве"},
        {"other bytes", file("bin/app", "programme"), "COMPONENT_CHANGED", "Файлы приложения изменены: bin/app"},
        {"cut short", file("bin/app", "program").substr(0, 515), "LOCAL_ERROR", "Повреждённый архив"},
        {"nothing", std::string(1024, '\0'), "LOCAL_ERROR", "Повреждённый архив"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_ZARVO_ERROR(extract(c.member), c.code, c.message);
        EXPECT_FALSE(fs::exists(target));
        if (fs::exists(target.parent_path())) {
            EXPECT_TRUE(fs::is_empty(target.parent_path()));
        }
    }
    EXPECT_ZARVO_ERROR(extract(file("bin/app", "program"), 6), "LOCAL_ERROR", "Распакованный архив превышает лимит");
    EXPECT_FALSE(fs::exists(target));
}

}  // namespace
}  // namespace zarvo::test
