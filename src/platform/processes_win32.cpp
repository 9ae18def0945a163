// Processes on Windows: CreateProcessW with no handle inheritance and no
// console window, process handles waited on with WaitForSingleObject and
// ended with TerminateProcess; the command line split from its UTF-16 form.
#include "platform/processes.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "platform/files_win32.h"

#include <shellapi.h>  // after windows.h, which it needs
#include <stdlib.h>

namespace zarvo::platform {
namespace {

HANDLE processOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

DWORD millisecondsOf(std::chrono::milliseconds timeout) {
    // INFINITE itself would mean no time-out at all.
    return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1));
}

// True when the process has ended, false when the time-out passed first.
bool waitOn(HANDLE process, std::chrono::milliseconds timeout) {
    switch (::WaitForSingleObject(process, millisecondsOf(timeout))) {
    case WAIT_OBJECT_0:
        return true;
    case WAIT_TIMEOUT:
        return false;
    default:
        throwLastError("WaitForSingleObject");
    }
}

// This process's standard handles that a child can be given, each once.
std::vector<HANDLE> inheritableStandardHandles() {
    std::vector<HANDLE> handles;
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = ::GetStdHandle(which);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
            std::find(handles.begin(), handles.end(), handle) != handles.end()) {
            continue;
        }
        // A handle that cannot be made inheritable (a console pseudo-handle)
        // is left out; the child then has none there.
        if (::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
            handles.push_back(handle);
        }
    }
    return handles;
}

// The attribute list that limits inheritance to the given handles, so a
// stand-in gets this process's standard streams and nothing else. A system
// that cannot make one leaves it not ready, and the stand-in then inherits
// nothing: its output is lost, its run is not.
class InheritedHandles {
public:
    explicit InheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        if (size == 0) {
            return;
        }
        buffer_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
        if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            return;
        }
        if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                         handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            ::DeleteProcThreadAttributeList(list);
            return;
        }
        list_ = list;
    }
    ~InheritedHandles() {
        if (list_ != nullptr) {
            ::DeleteProcThreadAttributeList(list_);
        }
    }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;

    bool ready() const noexcept { return list_ != nullptr; }
    LPPROC_THREAD_ATTRIBUTE_LIST list() const noexcept { return list_; }

private:
    std::vector<HANDLE> handles_;
    std::vector<char> buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// The null device as input and the output file, both inheritable, for a
// child whose output the caller reads afterwards.
struct OutputCapture {
    FileHandle input;
    FileHandle output;
};

OutputCapture openOutputCapture(const std::filesystem::path& file) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    OutputCapture capture;
    capture.output = ownedHandle(::CreateFileW(file.c_str(), GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handleOf(capture.output) == INVALID_HANDLE_VALUE) {
        throwLastError("CreateFileW", file);
    }
    capture.input = ownedHandle(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handleOf(capture.input) == INVALID_HANDLE_VALUE) {
        throwLastError("CreateFileW", L"NUL");
    }
    return capture;
}

HANDLE standardHandleIn(const std::vector<HANDLE>& inherited, DWORD which) {
    HANDLE handle = ::GetStdHandle(which);
    return std::find(inherited.begin(), inherited.end(), handle) != inherited.end() ? handle : nullptr;
}

// The working folder in the plain form the system keeps as a process's
// current folder: as given while short, else absolute and normalised.
std::wstring workingFolderOf(const std::filesystem::path& folder) {
    return plainPath(systemPath(folder)).native();
}

}  // namespace

bool ProcessHandle::waitForExit(std::chrono::milliseconds timeout) {
    if (exited_) {
        return true;
    }
    if (!waitOn(processOf(handle_), timeout)) {
        return false;
    }
    DWORD code = 0;
    if (::GetExitCodeProcess(processOf(handle_), &code)) {
        ended_ = ProcessEnd{false, static_cast<int>(code)};
    }
    exited_ = true;
    return true;
}

void ProcessHandle::end(int exitCode) {
    if (exited_) {
        return;
    }
    // A process that has just ended refuses to be terminated; that is no failure.
    if (!::TerminateProcess(processOf(handle_), static_cast<UINT>(exitCode)) &&
        ::WaitForSingleObject(processOf(handle_), 0) != WAIT_OBJECT_0) {
        throwLastError("TerminateProcess");
    }
}

void ProcessHandle::close() noexcept {
    if (handle_ == -1) {
        return;
    }
    ::CloseHandle(processOf(handle_));
    handle_ = -1;
    processId_ = -1;
    exited_ = false;
    ended_.reset();
}

ProcessHandle startPlatformProcess(const ProcessStart& start) {
    // CreateProcessW may write into the command line, so it gets its own copy.
    std::wstring commandLine = start.commandLine;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    PROCESS_INFORMATION started{};
    DWORD flags = CREATE_NO_WINDOW;
    BOOL inherit = FALSE;
    // A stand-in inherits the standard handles and nothing else; any other
    // child inherits no handle at all (bInheritHandles FALSE), whatever its
    // flag says. The environment is this process's own.
    // A child whose output is read gets the output file and the null device alone.
    std::optional<OutputCapture> capture;
    std::vector<HANDLE> standard;
    if (!start.outputFile.empty()) {
        capture = openOutputCapture(start.outputFile);
        standard = {handleOf(capture->input), handleOf(capture->output)};
    } else if (start.shareStandardStreams) {
        standard = inheritableStandardHandles();
    }
    std::optional<InheritedHandles> inherited;
    if (!standard.empty()) {
        inherited.emplace(standard);
    }
    if (capture && !inherited->ready()) {
        // Without the list the output file could not be handed over alone.
        throwWin32(ERROR_NOT_SUPPORTED, "PROC_THREAD_ATTRIBUTE_HANDLE_LIST", start.outputFile);
    }
    if (inherited && inherited->ready()) {
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        if (capture) {
            startup.StartupInfo.hStdInput = handleOf(capture->input);
            startup.StartupInfo.hStdOutput = handleOf(capture->output);
            startup.StartupInfo.hStdError = handleOf(capture->output);
        } else {
            startup.StartupInfo.hStdInput = standardHandleIn(standard, STD_INPUT_HANDLE);
            startup.StartupInfo.hStdOutput = standardHandleIn(standard, STD_OUTPUT_HANDLE);
            startup.StartupInfo.hStdError = standardHandleIn(standard, STD_ERROR_HANDLE);
        }
        startup.lpAttributeList = inherited->list();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
        inherit = TRUE;
    }
    // A process's current folder has no extended form: a long one is handed
    // over plain, and without the system's long-path policy the start then
    // fails with the system's error.
    const std::wstring workingFolder =
        start.workingFolder.empty() ? std::wstring() : workingFolderOf(start.workingFolder);
    if (!::CreateProcessW(systemPath(start.program).c_str(), commandLine.empty() ? nullptr : commandLine.data(),
                          nullptr, nullptr, inherit, flags, nullptr,
                          workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup.StartupInfo, &started)) {
        throwLastError("CreateProcessW", start.program);
    }
    ::CloseHandle(started.hThread);
    return ProcessHandle(reinterpret_cast<std::intptr_t>(started.hProcess), started.dwProcessId);
}

ProcessWait waitForProcessById(std::uint64_t processId, std::chrono::milliseconds timeout) {
    if (processId > 0xFFFFFFFFu) {
        return ProcessWait::notFound;
    }
    // The right to wait and nothing more: a process of another user can still be waited for.
    HANDLE opened = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
    if (opened == nullptr) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY || error == ERROR_NO_SYSTEM_RESOURCES) {
            throwWin32(error, "OpenProcess");
        }
        return ProcessWait::notFound;
    }
    FileHandle process = ownedHandle(opened);
    return waitOn(handleOf(process), timeout) ? ProcessWait::ended : ProcessWait::stillRunning;
}

std::filesystem::path executablePath() {
    // The longest path Windows knows, so a long install folder is never cut short.
    constexpr DWORD kCapacity = 32768;
    std::vector<wchar_t> buffer(kCapacity);
    DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), kCapacity);
    if (length == 0) {
        throwLastError("GetModuleFileNameW");
    }
    if (length >= kCapacity) {
        throwWin32(ERROR_INSUFFICIENT_BUFFER, "GetModuleFileNameW");
    }
    // A program started by its extended path is told that form, which std::filesystem cannot take.
    return plainPath(std::wstring(buffer.data(), length));
}

std::int64_t currentProcessId() noexcept { return static_cast<std::int64_t>(::GetCurrentProcessId()); }

std::optional<std::filesystem::path> moveRunningProgramOutOf(const std::filesystem::path& folder) {
    const std::filesystem::path program = executablePath();
    if (!liesInside(program, folder)) {
        return std::nullopt;
    }
    wchar_t temporary[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temporary);
    if (length == 0 || length > MAX_PATH) {
        throwLastError("GetTempPathW");
    }
    const std::filesystem::path target =
        std::filesystem::path(std::wstring(temporary, length)) /
        (L"ZarvoLauncher-removed-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(::GetTickCount64()) + L".exe");
    // No MOVEFILE_COPY_ALLOWED: a copy would leave the running file where it was.
    if (!::MoveFileExW(systemPath(program).c_str(), systemPath(target).c_str(), MOVEFILE_WRITE_THROUGH)) {
        throwLastError("move running program", program);
    }
    return target;
}

void keepSocketFromChildren(std::intptr_t socket) {
    if (!::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0)) {
        throwLastError("SetHandleInformation");
    }
}

std::vector<std::string> commandLineArguments(int, char**) {
    int count = 0;
    wchar_t** split = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (split == nullptr) {
        throwLastError("CommandLineToArgvW");
    }
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        arguments.push_back(utf8FromUtf16(split[i]));
    }
    ::LocalFree(split);
    return arguments;
}

// Handles have no per-process ceiling near a component's size; nothing to raise or give back.
OpenFileLimit raiseOpenFileLimit() noexcept { return {}; }

std::size_t spareFileHandles() noexcept { return std::numeric_limits<std::size_t>::max(); }

// The runtime's secure put-environment call with an empty value deletes the
// variable from both its own copy and the system's environment block.
void removeEnvironmentVariable(const std::string& name) noexcept {
    try {
        ::_wputenv_s(utf16FromUtf8(name).c_str(), L"");
    } catch (const std::exception&) {
        // A name that is not UTF-8 cannot be set either.
    }
}

void setEnvironmentVariable(const std::string& name, const std::string& value) {
    // Through the runtime, so its own copy and the system's block agree.
    if (const errno_t error = ::_wputenv_s(utf16FromUtf8(name).c_str(), utf16FromUtf8(value).c_str()); error != 0) {
        throw std::system_error(error, std::generic_category(), "_wputenv_s");
    }
}

std::optional<std::string> environmentVariable(const std::string& name) {
    const std::wstring wideName = utf16FromUtf8(name);
    std::wstring value(256, L'\0');
    for (;;) {
        DWORD length = ::GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            return std::nullopt;  // not set (ERROR_ENVVAR_NOT_FOUND), or empty
        }
        if (length < value.size()) {
            value.resize(length);
            return utf8FromUtf16(value);
        }
        value.resize(length);  // the size asked for includes the terminator
    }
}

}  // namespace zarvo::platform
