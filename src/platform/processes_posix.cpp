// Processes on Linux: posix_spawn (which reports a failed exec to the caller)
// and a pidfd for waiting and ending without the risk of a reused process id.
#include "platform/processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <mutex>
#include <system_error>

#include "platform/files_posix.h"

extern char** environ;

namespace zarvo::platform {
namespace {

// glibc 2.36 declares the pidfd wrappers without C linkage; the system calls are used directly.
int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int pidfdSendSignal(int pidfd, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

[[noreturn]] void fail(int error, const char* operation) {
    throw std::system_error(error, std::generic_category(), operation);
}

// Owns the spawn attributes for the length of one start.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    SpawnSetup() {
        if (int error = posix_spawn_file_actions_init(&actions); error != 0) {
            fail(error, "posix_spawn_file_actions_init");
        }
        if (int error = posix_spawnattr_init(&attributes); error != 0) {
            posix_spawn_file_actions_destroy(&actions);
            fail(error, "posix_spawnattr_init");
        }
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Polls the pidfd until it reports the end of its process or the time runs out.
bool pollForExit(int pidfd, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{pidfd, POLLIN, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(left.count() > 0 ? left.count() : 0));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            fail(errno, "poll pidfd");
        }
        return ready > 0;
    }
}

// The soft open-file limit the process started with, once raiseOpenFileLimit
// has raised it; guarded by limitMutex, as is every change of the limit.
std::mutex limitMutex;
bool limitRaised = false;
rlim_t startingSoftLimit = 0;

// posix_spawn cannot set a limit in the child alone, so the starting limit is
// put back for the length of the spawn. Descriptors already open above it stay
// valid; an open on another thread meanwhile fails only when every number
// below the starting limit is taken, and then as a refused open, nothing worse.
class StartingLimitForChild {
public:
    StartingLimitForChild() : guard_(limitMutex) {
        if (limitRaised && ::getrlimit(RLIMIT_NOFILE, &raised_) == 0 && raised_.rlim_cur != startingSoftLimit) {
            struct rlimit lowered = raised_;
            lowered.rlim_cur = startingSoftLimit;
            restore_ = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
        }
    }
    ~StartingLimitForChild() {
        if (restore_) {
            ::setrlimit(RLIMIT_NOFILE, &raised_);
        }
    }
    StartingLimitForChild(const StartingLimitForChild&) = delete;
    StartingLimitForChild& operator=(const StartingLimitForChild&) = delete;

private:
    std::lock_guard<std::mutex> guard_;
    struct rlimit raised_ {};
    bool restore_ = false;
};

void check(int error, const char* operation) {
    if (error != 0) {
        fail(error, operation);
    }
}

void prepare(SpawnSetup& setup, const ProcessStart& start) {
    posix_spawn_file_actions_t* actions = &setup.actions;
    if (!start.outputFile.empty()) {
        check(posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0), "posix_spawn /dev/null");
        check(posix_spawn_file_actions_addopen(actions, 1, start.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                               0600),
              "posix_spawn output file");
        check(posix_spawn_file_actions_adddup2(actions, 1, 2), "posix_spawn dup2");
    } else if (!start.shareStandardStreams) {
        check(posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0), "posix_spawn /dev/null");
        check(posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0), "posix_spawn /dev/null");
        check(posix_spawn_file_actions_addopen(actions, 2, "/dev/null", O_WRONLY, 0), "posix_spawn /dev/null");
    }
    // Libraries (libcurl among them) may leave descriptors without
    // close-on-exec; none of them, nor any lock, may follow the core.
    check(posix_spawn_file_actions_addclosefrom_np(actions, 3), "posix_spawn closefrom");
    check(posix_spawn_file_actions_addchdir_np(actions, start.workingFolder.c_str()), "posix_spawn chdir");

    // Ignored signals and a blocked mask survive exec; the child starts clean.
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    check(posix_spawnattr_setsigdefault(&setup.attributes, &all), "posix_spawnattr_setsigdefault");
    check(posix_spawnattr_setsigmask(&setup.attributes, &none), "posix_spawnattr_setsigmask");
    // A stand-in stays in this session, so that a terminal's Ctrl+C reaches it too.
    const short session = start.shareStandardStreams ? 0 : POSIX_SPAWN_SETSID;
    check(posix_spawnattr_setflags(&setup.attributes,
                                   static_cast<short>(session | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK)),
          "posix_spawnattr_setflags");
}

}  // namespace

bool ProcessHandle::waitForExit(std::chrono::milliseconds timeout) {
    if (exited_) {
        return true;
    }
    if (!pollForExit(static_cast<int>(handle_), timeout)) {
        return false;
    }
    // Our own child: collect it, so an ended core does not stay a zombie
    // while the pre-starter is still running.
    int status = 0;
    pid_t reaped = -1;
    while ((reaped = ::waitpid(static_cast<pid_t>(processId_), &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (reaped == static_cast<pid_t>(processId_)) {
        ended_ = WIFSIGNALED(status) ? ProcessEnd{true, WTERMSIG(status)} : ProcessEnd{false, WEXITSTATUS(status)};
    }
    exited_ = true;
    return true;
}

void ProcessHandle::end(int /*exitCode: POSIX has no way to choose it*/) {
    if (exited_) {
        return;
    }
    if (pidfdSendSignal(static_cast<int>(handle_), SIGKILL) != 0 && errno != ESRCH) {
        fail(errno, "pidfd_send_signal");
    }
}

void ProcessHandle::close() noexcept {
    if (handle_ < 0) {
        return;
    }
    if (!exited_) {
        int status = 0;
        ::waitpid(static_cast<pid_t>(processId_), &status, WNOHANG);
    }
    ::close(static_cast<int>(handle_));
    handle_ = -1;
    processId_ = -1;
    exited_ = false;
    ended_.reset();
}

ProcessHandle startPlatformProcess(const ProcessStart& start) {
    std::vector<char*> argv;
    std::string program = start.program.string();
    argv.push_back(program.data());
    std::vector<std::string> arguments = start.arguments;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    SpawnSetup setup;
    prepare(setup, start);
    pid_t pid = -1;
    // glibc's posix_spawn waits until the exec has happened and returns its
    // error, so a missing or unrunnable program fails here.
    int spawnError = 0;
    {
        StartingLimitForChild limit;
        spawnError = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
    }
    if (spawnError != 0) {
        fail(spawnError, "posix_spawn");
    }
    int handle = pidfdOpen(pid);  // always close-on-exec
    if (handle < 0) {
        int error = errno;
        ::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        fail(error, "pidfd_open");
    }
    return ProcessHandle(handle, pid);
}

ProcessWait waitForProcessById(std::uint64_t processId, std::chrono::milliseconds timeout) {
    // No process can carry an identifier beyond pid_t; 0 and the like are
    // refused by the system as invalid, which also means nothing to wait for.
    if (processId > static_cast<std::uint64_t>(INT_MAX)) {
        return ProcessWait::notFound;
    }
    FileHandle handle(pidfdOpen(static_cast<pid_t>(processId)));
    if (!handle.valid()) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) {
            fail(errno, "pidfd_open");
        }
        return ProcessWait::notFound;
    }
    // A pidfd reports the end of any process, not only of a child; an ended
    // process that nobody has reaped yet counts as ended.
    return pollForExit(descriptorOf(handle), timeout) ? ProcessWait::ended : ProcessWait::stillRunning;
}

std::filesystem::path executablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        throw std::system_error(error, "readlink /proc/self/exe");
    }
    return path;
}

std::int64_t currentProcessId() noexcept { return static_cast<std::int64_t>(::getpid()); }

// A running program's file is unlinked like any other; its pages stay mapped.
std::optional<std::filesystem::path> moveRunningProgramOutOf(const std::filesystem::path&) { return std::nullopt; }

// libcurl opens its sockets without close-on-exec; this sets it afterwards.
void keepSocketFromChildren(std::intptr_t socket) {
    int descriptor = static_cast<int>(socket);
    int flags = ::fcntl(descriptor, F_GETFD);
    if (flags < 0 || ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC) != 0) {
        throwErrno("fcntl FD_CLOEXEC");
    }
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    return arguments;
}

OpenFileLimit raiseOpenFileLimit() noexcept {
    std::lock_guard<std::mutex> guard(limitMutex);
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return {};
    }
    if (!limitRaised) {
        startingSoftLimit = limit.rlim_cur;
        // A hard limit of "unlimited" is refused above the kernel's nr_open; the soft one stays then.
        if (limit.rlim_cur < limit.rlim_max && limit.rlim_max != RLIM_INFINITY) {
            struct rlimit raised = limit;
            raised.rlim_cur = limit.rlim_max;
            if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
                limit = raised;
            }
        }
        limitRaised = true;
    }
    return {static_cast<std::uint64_t>(startingSoftLimit), static_cast<std::uint64_t>(limit.rlim_cur)};
}

std::size_t spareFileHandles() noexcept {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::numeric_limits<std::size_t>::max();
    }
    const auto soft = static_cast<std::size_t>(limit.rlim_cur);
    std::size_t open = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end; !error && entry != end;
         entry.increment(error)) {
        ++open;
    }
    if (error || open == 0) {
        return soft / 2;  // without /proc, assume half are taken
    }
    --open;  // the listing's own descriptor
    return open < soft ? soft - open : 0;
}

// The environment through the C library; an empty value counts as unset.
void removeEnvironmentVariable(const std::string& name) noexcept { ::unsetenv(name.c_str()); }

void setEnvironmentVariable(const std::string& name, const std::string& value) {
    if (::setenv(name.c_str(), value.c_str(), 1) != 0) {
        fail(errno, "setenv");
    }
}

std::optional<std::string> environmentVariable(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace zarvo::platform
