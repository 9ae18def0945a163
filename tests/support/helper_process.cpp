// The test program doubles as the helper process: started with
// ZARVO_LOCK_HELPER set, it does what the mode says before gtest ever runs.
#include "support/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "platform/locks.h"

namespace zarvo::test {
namespace {

void say(std::string_view line) {
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

int runAsHelperWhenAsked() {
    const char* mode = std::getenv("ZARVO_LOCK_HELPER");
    if (mode == nullptr) {
        return 0;
    }
    try {
        const std::filesystem::path path = std::getenv("ZARVO_LOCK_PATH");
        if (std::string_view(mode) == "hold") {
            // The same lock protocol as the program's lock files, with their folder made first.
            std::filesystem::create_directories(path.parent_path());
            auto lock = platform::openExclusiveLockFile(path);
            say(lock ? "held\n" : "busy\n");
            waitForEndOfInput();
        } else if (std::string_view(mode) == "open") {
            int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            say(descriptor >= 0 ? "open\n" : "error\n");
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

}  // namespace

HelperProcess::HelperProcess(const std::string& mode, const std::filesystem::path& path) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    if (::pipe2(output, O_CLOEXEC) != 0) {
        int error = errno;
        ::close(input[0]);
        ::close(input[1]);
        throw std::system_error(error, std::generic_category(), "pipe2");
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        int error = errno;
        for (int descriptor : {input[0], input[1], output[0], output[1]}) {
            ::close(descriptor);
        }
        throw std::system_error(error, std::generic_category(), "fork");
    }
    if (pid_ == 0) {
        ::dup2(input[0], 0);
        ::dup2(output[1], 1);
        ::setenv("ZARVO_LOCK_HELPER", mode.c_str(), 1);
        ::setenv("ZARVO_LOCK_PATH", path.c_str(), 1);
        ::execl("/proc/self/exe", "/proc/self/exe", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    toChild_ = input[1];
    fromChild_ = output[0];
}

HelperProcess::~HelperProcess() {
    if (pid_ > 0) {
        kill();
    }
    if (toChild_ >= 0) {
        ::close(toChild_);
    }
    ::close(fromChild_);
}

std::string HelperProcess::readLine() {
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

int HelperProcess::finish() {
    ::close(toChild_);
    toChild_ = -1;
    return reap();
}

void HelperProcess::kill() {
    ::kill(pid_, SIGKILL);
    reap();
}

int HelperProcess::reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zarvo::test
