// Processes: starting another program and keeping an owning handle on it,
// waiting for a process by its identifier, facts about the running process,
// keeping sockets from children, the program's own command line and the
// process environment.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zarvo::platform {

// --- Started processes ---------------------------------------------------------

// What a new process is started with.
struct ProcessStart {
    std::filesystem::path program;
    // UTF-8 arguments after the program name; the child's argv on POSIX.
    std::vector<std::string> arguments;
    // The whole quoted command line, program name first, that Windows hands to
    // the child to split; POSIX passes the argument vector instead.
    std::wstring commandLine;
    std::filesystem::path workingFolder;
    // The child writes to this process's standard streams and (POSIX) stays in
    // its session, as a program that stands in for this one; otherwise its
    // streams are the null device and it gets a session of its own.
    bool shareStandardStreams = false;
    // When set, the child's standard output and error both go to this file,
    // created or emptied, instead; its input is the null device. For programs
    // whose words the caller reads once they have ended.
    std::filesystem::path outputFile;
};

// How a started process ended: its exit code, or on POSIX the signal that ended it.
struct ProcessEnd {
    bool bySignal = false;
    int code = 0;  // the exit code, or the signal number
};

// An owned handle on a started process. Closing it (or destruction) neither
// waits for the process nor ends it: the process keeps running on its own.
// Move-only; used by one thread.
class ProcessHandle {
public:
    ProcessHandle() = default;
    ProcessHandle(std::intptr_t handle, std::int64_t processId) noexcept : handle_(handle), processId_(processId) {}
    ProcessHandle(ProcessHandle&& other) noexcept
        : handle_(other.handle_), processId_(other.processId_), exited_(other.exited_), ended_(other.ended_) {
        other.handle_ = -1;
        other.processId_ = -1;
    }
    ProcessHandle& operator=(ProcessHandle&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.handle_;
            processId_ = other.processId_;
            exited_ = other.exited_;
            ended_ = other.ended_;
            other.handle_ = -1;
            other.processId_ = -1;
        }
        return *this;
    }
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;
    ~ProcessHandle() { close(); }

    bool open() const noexcept { return handle_ != -1; }
    std::int64_t processId() const noexcept { return processId_; }
    // Waits up to timeout (zero: only asks) and reports whether the process has
    // ended. Requires an open handle. Raises std::system_error.
    bool waitForExit(std::chrono::milliseconds timeout);
    // How the process ended, once waitForExit has seen it end; nothing before.
    std::optional<ProcessEnd> howEnded() const noexcept { return ended_; }
    // Ends the process at once with the exit code where the system lets the
    // caller choose one (POSIX kills it with SIGKILL). Raises std::system_error.
    void end(int exitCode);
    // Releases the handle; safe to call more than once.
    void close() noexcept;

private:
    std::intptr_t handle_ = -1;
    std::int64_t processId_ = -1;
    bool exited_ = false;
    std::optional<ProcessEnd> ended_;
};

// Starts the program in its working folder with this process's environment,
// no inherited handles, and its standard streams on the null device and a
// session of its own (POSIX) or a console of its own without a window
// (Windows), so it outlives this process. It gets the open-file limit this
// process started with, not one raised by raiseOpenFileLimit. A program that
// cannot be run fails here, before anything has started. Raises
// std::system_error. Any thread.
ProcessHandle startPlatformProcess(const ProcessStart& start);

// What became of a process this one did not start and only waited for.
enum class ProcessWait {
    ended,         // it ended while we waited
    notFound,      // it could not be opened: it has already gone
    stillRunning,  // the time-out passed first
};

// Waits up to timeout for the process with this identifier to end, holding
// nothing but the right to wait on it. Raises std::system_error when the
// system cannot open it for lack of resources. Any thread.
ProcessWait waitForProcessById(std::uint64_t processId, std::chrono::milliseconds timeout);

// --- The running process ---------------------------------------------------------

// Absolute path of the running executable. Raises std::system_error.
std::filesystem::path executablePath();
std::int64_t currentProcessId() noexcept;
// When the running executable lies inside folder and the system refuses to
// delete a running program's file (Windows, which still lets it be renamed
// within its volume), moves it to a new name in the user's temporary folder,
// where it stays for the system's clean-up, and returns that name; folder can
// then be removed while the program runs. Returns nothing otherwise: POSIX
// deletes a running program's file like any other. Raises std::system_error
// (a temporary folder on another volume, say); nothing moved then.
std::optional<std::filesystem::path> moveRunningProgramOutOf(const std::filesystem::path& folder);

// Marks a network socket (a descriptor, or a SOCKET on Windows) as not
// inherited by child processes, so an idle connection never stays open inside
// the core. Raises std::system_error.
void keepSocketFromChildren(std::intptr_t socket);

// The program's own command line as UTF-8 texts, program name first. On
// Windows the arguments of main are ignored and the UTF-16 command line is
// split instead; on Linux argv already holds UTF-8 bytes. Raises
// std::system_error when the system cannot split it.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// --- Open-file limit ------------------------------------------------------------

struct OpenFileLimit {
    std::uint64_t before = 0;  // the soft limit the process started with
    std::uint64_t now = 0;     // the soft limit from now on
};

// Raises this process's soft limit on open files to its hard limit, so that a
// large verified component can be held open, and remembers the limit the
// process started with: every process started afterwards gets that one back.
// Both values are 0 where the system has no such low limit (Windows). A limit
// that cannot be raised stays as it is. Idempotent; any thread.
OpenFileLimit raiseOpenFileLimit() noexcept;
// How many more files this process may open at this moment: the soft limit
// less the descriptors already open; SIZE_MAX where there is no low limit
// (Windows). Any thread; another thread's opens may change it at once.
std::size_t spareFileHandles() noexcept;

// --- Environment ---------------------------------------------------------------

// Removes the variable from this process's environment; a name that is not set is no error.
void removeEnvironmentVariable(const std::string& name) noexcept;
// Sets the variable in this process's environment, for the programs it starts
// from now on. Raises std::system_error. Main thread, before other threads exist.
void setEnvironmentVariable(const std::string& name, const std::string& value);
// The variable's value, as UTF-8, when it is set and not empty.
std::optional<std::string> environmentVariable(const std::string& name);

}  // namespace zarvo::platform
