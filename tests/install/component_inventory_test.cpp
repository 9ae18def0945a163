// Verification of installed component trees against their file lists, with the
// locks checked from this process and from real cooperating processes.
#include "install/component_inventory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "trust/hashing.h"

namespace {

namespace fs = std::filesystem;
using zarvo::ComponentLocks;
using zarvo::verifyComponentFiles;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

// Whether a cooperating writer (an open for writing plus an exclusive
// open-file-description lock) could take the file right now.
bool writerCanLock(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    bool locked = ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
    EXPECT_TRUE(locked || errno == EAGAIN || errno == EACCES);
    ::close(fd);
    return locked;
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// A python3 process that opens a file for writing and tries an exclusive
// open-file-description lock on it, then holds whatever it got until it is told to go.
class CooperatingWriter {
public:
    explicit CooperatingWriter(const fs::path& path) {
        int toChild[2];
        int fromChild[2];
        EXPECT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            const char* script =
                "import fcntl, os, struct, sys\n"
                "fd = os.open(sys.argv[1], os.O_RDWR)\n"
                "try:\n"
                "    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack('hhqqi4x', fcntl.F_WRLCK, 0, 0, 0, 0))\n"
                "    print('locked', flush=True)\n"
                "except OSError:\n"
                "    print('busy', flush=True)\n"
                "sys.stdin.read()\n";
            ::execlp("python3", "python3", "-c", script, path.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        input_ = toChild[1];
        output_ = fromChild[0];
        // The answer is one line; it may arrive in more than one piece.
        char c = 0;
        while (::read(output_, &c, 1) == 1 && c != '\n') {
            state_ += c;
        }
    }
    ~CooperatingWriter() {
        ::close(input_);
        ::close(output_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    const std::string& state() const { return state_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string state_;
};

// A component tree on disk and the list that describes it.
struct Component {
    TempDir dir;
    fs::path root = dir / "core";
    Json::Value files{Json::objectValue};

    void add(const std::string& name, const std::string& bytes) {
        writeFile(root / name, bytes);
        files[name] = zarvo::hashBytes(bytes, "sha256");
    }
};

void fillSample(Component& component) {
    component.add("core.bin", std::string(200000, 'c'));
    component.add("lib/a.so", "library a");
    component.add("lib/b.so", "library b");
    component.add("share/data/table.dat", "table");
    component.add("Привет/файл.txt", "кириллица");
    fs::create_directories(component.root / "empty/nested");
}

TEST(ComponentInventory, GoodTreeIsLockedUntilReleased) {
    Component component;
    fillSample(component);
    std::size_t before = openDescriptors();
    {
        ComponentLocks locks = verifyComponentFiles(component.root, component.files);
        // Folders root, lib, share, share/data, Привет and five files; the empty folders are not locked.
        EXPECT_EQ(locks.size(), 10u);
        for (const auto& name : component.files.getMemberNames()) {
            SCOPED_TRACE(name);
            EXPECT_FALSE(writerCanLock(component.root / name));
            CooperatingWriter writer(component.root / name);
            EXPECT_EQ(writer.state(), "busy");
        }
        // Readers are not kept out, and a second verification shares the files.
        EXPECT_EQ(zarvo::hashFile(component.root / "lib/a.so", "sha256"), component.files["lib/a.so"].asString());
        ComponentLocks second = verifyComponentFiles(component.root, component.files);
        EXPECT_EQ(second.size(), 10u);

        ComponentLocks moved = std::move(second);
        EXPECT_EQ(moved.size(), 10u);
        locks.release();
        EXPECT_TRUE(locks.empty());
        EXPECT_FALSE(writerCanLock(component.root / "core.bin"));  // still held by the moved locks
    }
    EXPECT_EQ(openDescriptors(), before);
    for (const auto& name : component.files.getMemberNames()) {
        EXPECT_TRUE(writerCanLock(component.root / name)) << name;
    }
}

TEST(ComponentInventory, HandleCountFollowsTheFolders) {
    Component inRoot;
    inRoot.add("app", "x");
    EXPECT_EQ(verifyComponentFiles(inRoot.root, inRoot.files).size(), 2u);
    // A trailing separator names the same root.
    EXPECT_EQ(verifyComponentFiles(inRoot.root.string() + "/", inRoot.files).size(), 2u);

    Component inSub;
    inSub.add("bin/app", "x");
    EXPECT_EQ(verifyComponentFiles(inSub.root, inSub.files).size(), 3u);
}

TEST(ComponentInventory, RefusalsHoldNothing) {
    const std::string changed = "COMPONENT_CHANGED";
    struct Case {
        const char* title;
        std::function<void(Component&)> spoil;
        std::string code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"changed content", [](Component& c) { writeFile(c.root / "lib/b.so", "library B"); }, changed,
         "Файлы приложения изменены: lib/b.so"},
        {"uppercase digest",
         [](Component& c) {
             std::string digest = c.files["lib/a.so"].asString();
             for (char& ch : digest) {
                 if (ch >= 'a' && ch <= 'f') {
                     ch = static_cast<char>(ch - 'a' + 'A');
                 }
             }
             c.files["lib/a.so"] = digest;
         },
         changed, "Файлы приложения изменены: lib/a.so"},
        {"missing file", [](Component& c) { fs::remove(c.root / "share/data/table.dat"); }, changed,
         "Файлы приложения повреждены: share/data/table.dat"},
        {"member names a folder", [](Component& c) { c.files["lib"] = std::string(64, '0'); }, changed,
         "Файлы приложения повреждены: lib"},
        {"short digest", [](Component& c) { c.files["core.bin"] = std::string(63, '0'); }, changed,
         "Файлы приложения повреждены: core.bin"},
        {"digest not a text", [](Component& c) { c.files["core.bin"] = 5; }, changed,
         "Файлы приложения повреждены: core.bin"},
        {"extra file", [](Component& c) { writeFile(c.root / "empty/nested/stray.txt", "?"); }, changed,
         "Посторонний файл приложения: empty/nested/stray.txt"},
        {"changed before extra",
         [](Component& c) {
             writeFile(c.root / "aaa-stray.txt", "?");
             writeFile(c.root / "share/data/table.dat", "tablE");
         },
         changed, "Файлы приложения изменены: share/data/table.dat"},
        {"listed file is a link",
         [](Component& c) {
             fs::rename(c.root / "lib/a.so", c.dir / "a.so");
             fs::create_symlink(c.dir / "a.so", c.root / "lib/a.so");
         },
         "UNSAFE_PATH", "Символическая ссылка в папке установки"},
        {"folder is a link",
         [](Component& c) {
             fs::rename(c.root / "share", c.dir / "share");
             fs::create_symlink(c.dir / "share", c.root / "share");
         },
         "UNSAFE_PATH", "Символическая ссылка в папке установки"},
        {"unlisted link", [](Component& c) { fs::create_symlink("a.so", c.root / "lib/alias.so"); }, changed,
         "Ссылка в папке приложения"},
        {"unlisted folder link", [](Component& c) { fs::create_symlink(c.dir.path(), c.root / "empty/up"); }, changed,
         "Ссылка в папке приложения"},
        {"unsafe member name", [](Component& c) { c.files["../core.bin"] = std::string(64, '0'); }, "UNSAFE_PATH",
         "Опасный путь в манифесте"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        Component component;
    fillSample(component);
        c.spoil(component);
        std::size_t before = openDescriptors();
        EXPECT_ZARVO_ERROR(verifyComponentFiles(component.root, component.files), c.code, c.message);
        EXPECT_EQ(openDescriptors(), before);
        for (const auto& name : {"core.bin", "lib/b.so", "Привет/файл.txt"}) {
            EXPECT_TRUE(writerCanLock(component.root / name)) << name;
        }
    }
}

TEST(ComponentInventory, ListMustBeAnObjectOfAtMostOneHundredThousand) {
    const char* message = "Для обновления отсутствует подписанный список файлов. Переопубликуйте компонент.";
    TempDir dir;
    for (const Json::Value& list :
         {Json::Value(Json::objectValue), Json::Value(Json::arrayValue), Json::Value(), Json::Value("core.bin")}) {
        EXPECT_ZARVO_ERROR(verifyComponentFiles(dir.path(), list), "COMPONENT_INVENTORY_REQUIRED", message);
    }
    // Refused on the count alone: the root does not even exist.
    Json::Value tooMany(Json::objectValue);
    for (int i = 0; i <= 100000; ++i) {
        tooMany["f" + std::to_string(i)] = std::string(64, '0');
    }
    EXPECT_ZARVO_ERROR(verifyComponentFiles(dir / "absent", tooMany), "COMPONENT_INVENTORY_REQUIRED", message);
}

TEST(ComponentInventory, FileHeldByAnotherWriterIsRefused) {
    Component component;
    fillSample(component);
    std::size_t before = openDescriptors();
    {
        CooperatingWriter writer(component.root / "lib/b.so");
        ASSERT_EQ(writer.state(), "locked");
        EXPECT_ZARVO_ERROR(verifyComponentFiles(component.root, component.files), "COMPONENT_CHANGED",
                           "Файл приложения занят для записи");
        EXPECT_EQ(openDescriptors(), before + 2);  // the two pipes to the writer
        // Files verified before the busy one were released again.
        EXPECT_TRUE(writerCanLock(component.root / "core.bin"));
    }
    EXPECT_EQ(verifyComponentFiles(component.root, component.files).size(), 10u);
}

TEST(ComponentInventory, ErrorsComeInListingOrderWhateverThreadHashesThem) {
    // One file held by a writer, one changed before or after it in listing
    // order: the first of the two in that order is the one reported.
    const struct {
        const char* changed;
        const char* message;
    } cases[] = {
        {"core.bin", "Файлы приложения изменены: core.bin"},
        {"share/data/table.dat", "Файл приложения занят для записи"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.changed);
        Component component;
        fillSample(component);
        writeFile(component.root / c.changed, "changed");
        std::size_t before = openDescriptors();
        CooperatingWriter writer(component.root / "lib/b.so");
        ASSERT_EQ(writer.state(), "locked");
        EXPECT_ZARVO_ERROR(verifyComponentFiles(component.root, component.files), "COMPONENT_CHANGED", c.message);
        EXPECT_EQ(openDescriptors(), before + 2);
    }
}

TEST(ComponentInventory, MoreFilesThanTheSoftDescriptorLimit) {
    Component component;
    for (int i = 0; i < 300; ++i) {
        component.add("many/f" + std::to_string(i), std::to_string(i));
    }
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 512) {
        GTEST_SKIP() << "hard descriptor limit too low";
    }
    struct rlimit low = saved;
    low.rlim_cur = 128;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::size_t count = 0;
    try {
        count = verifyComponentFiles(component.root, component.files).size();
    } catch (const zarvo::Error& error) {
        ADD_FAILURE() << error.what();
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(count, 302u);
}

}  // namespace
