// Lock files between threads and real processes: busy while held, free after
// release or a crash, never inherited by a started program, never through a link.
#include "storage/storage_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

#include "support/temp_dir.h"
#include "support/expect_error.h"

namespace {

namespace fs = std::filesystem;
using zarvo::lockStorageFile;
using zarvo::StorageLock;
using zarvo::test::readFile;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

void say(const char* text) {
    std::string_view line(text);
    while (!line.empty()) {
        ssize_t written = ::write(1, line.data(), line.size());
        if (written <= 0) {
            return;
        }
        line.remove_prefix(static_cast<std::size_t>(written));
    }
}

void waitForEndOfInput() {
    char byte;
    while (::read(0, &byte, 1) > 0 || errno == EINTR) {
    }
}

// This test program doubles as the second process: started with
// ZARVO_LOCK_HELPER set, it does what the mode says before gtest ever runs.
//   hold: take the lock, say "held" or "busy", keep it until input ends;
//   wait: say "ready" and wait until input ends, holding nothing of its own.
int runAsHelperWhenAsked() {
    const char* mode = std::getenv("ZARVO_LOCK_HELPER");
    if (mode == nullptr) {
        return 0;
    }
    try {
        if (std::string_view(mode) == "hold") {
            StorageLock lock = lockStorageFile(std::getenv("ZARVO_LOCK_PATH"));
            say(lock.held() ? "held\n" : "busy\n");
            waitForEndOfInput();
        } else {
            say("ready\n");
            waitForEndOfInput();
        }
    } catch (const std::exception&) {
        say("error\n");
        ::_exit(3);
    }
    ::_exit(0);
}

[[maybe_unused]] const int helperMode = runAsHelperWhenAsked();

// A second copy of this program, talking over its standard input and output.
class Helper {
public:
    Helper(const std::string& mode, const fs::path& lockPath) {
        int input[2];
        int output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::system_error(errno, std::generic_category(), "fork");
        }
        if (pid_ == 0) {
            ::dup2(input[0], 0);
            ::dup2(output[1], 1);
            ::setenv("ZARVO_LOCK_HELPER", mode.c_str(), 1);
            ::setenv("ZARVO_LOCK_PATH", lockPath.c_str(), 1);
            ::execl("/proc/self/exe", "/proc/self/exe", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        toChild_ = input[1];
        fromChild_ = output[0];
    }
    ~Helper() {
        if (pid_ > 0) {
            kill();
        }
        ::close(toChild_);
        ::close(fromChild_);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    pid_t pid() const { return pid_; }

    // The helper's next line, or "" when it ended or stayed silent for 20 s.
    std::string readLine() {
        std::string line;
        char byte;
        while (true) {
            pollfd fd{fromChild_, POLLIN, 0};
            if (::poll(&fd, 1, 20000) <= 0 || ::read(fromChild_, &byte, 1) != 1) {
                return line;
            }
            if (byte == '\n') {
                return line;
            }
            line += byte;
        }
    }

    // Ends its input and returns its exit code.
    int finish() {
        ::close(toChild_);
        toChild_ = -1;
        return reap();
    }

    void kill() {
        ::kill(pid_, SIGKILL);
        reap();
    }

private:
    int reap() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
};

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
