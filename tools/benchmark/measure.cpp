// Forked measurements read through wait4, which hands back the child's own
// resource usage, its peak resident memory included.
#include "measure.h"

#include <stdexcept>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>

namespace zarvo::benchmark {
namespace {

Measurement waitFor(pid_t pid, std::chrono::steady_clock::time_point start, int errorPipe) {
    Measurement result;
    std::string message;
    char buffer[512];
    ssize_t count = 0;
    while ((count = ::read(errorPipe, buffer, sizeof buffer)) > 0) {
        message.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(errorPipe);
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.peakKiB = usage.ru_maxrss;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!result.ok) {
        result.failure = message.empty() ? "exit status " + std::to_string(status) : message;
    }
    return result;
}

}  // namespace

Measurement measureInChild(const std::function<void()>& work) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return {0, 0, false, "pipe2 failed"};
    }
    std::fflush(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeEnds[0]);
        int code = 0;
        try {
            work();
        } catch (const std::exception& error) {
            ssize_t ignored = ::write(pipeEnds[1], error.what(), std::strlen(error.what()));
            (void)ignored;
            code = 1;
        }
        ::_exit(code);
    }
    ::close(pipeEnds[1]);
    if (pid < 0) {
        ::close(pipeEnds[0]);
        return {0, 0, false, "fork failed"};
    }
    return waitFor(pid, start, pipeEnds[0]);
}

Measurement measureCommand(const std::vector<std::string>& arguments, const std::filesystem::path& workingDirectory) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return {0, 0, false, "pipe2 failed"};
    }
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeEnds[1], 2);
        int devNull = ::open("/dev/null", O_WRONLY);
        ::dup2(devNull, 1);
        if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) {
            ::_exit(126);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    if (pid < 0) {
        ::close(pipeEnds[0]);
        return {0, 0, false, "fork failed"};
    }
    return waitFor(pid, start, pipeEnds[0]);
}

Measurement bestOf(int runs, const std::function<void()>& before, const std::function<Measurement()>& measure) {
    Measurement best;
    for (int run = 0; run < runs; ++run) {
        before();
        Measurement current = measure();
        if (!current.ok) {
            return current;
        }
        if (run == 0 || current.seconds < best.seconds) {
            long peak = std::max(best.peakKiB, current.peakKiB);
            best = current;
            best.peakKiB = peak;
        } else {
            best.peakKiB = std::max(best.peakKiB, current.peakKiB);
        }
    }
    return best;
}

void runOrThrow(const std::vector<std::string>& arguments, const char* what) {
    Measurement done = measureCommand(arguments);
    if (!done.ok) {
        throw std::runtime_error(std::string(what) + " failed: " + done.failure);
    }
}

}  // namespace zarvo::benchmark
