// What the platform tests need besides the layer itself, on every system: a
// second copy of the test program started through the layer (the helper,
// told what to do by its command line and answering through files), links
// and redirections to plant, inheritable handles and environment variables.
// The little of it that differs by system is here, not in the tests.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#include <stdlib.h>
#else
#include <fcntl.h>
#include <stdlib.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <string>
#include <thread>
#include <vector>

#include "launch/quote_argument.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "support/temp_dir.h"

namespace zarvo::test {

namespace fs = std::filesystem;

// The first argument that makes the test program a helper (see helper_process_test.cpp).
inline constexpr const char* kHelperFlag = "--platform-helper";

// Wine's own export, which Windows does not have.
inline bool underWine() {
#ifdef _WIN32
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// The error a call raised, or a default error_code when it raised none.
template <typename Call>
std::error_code errorOf(Call call) {
    try {
        call();
    } catch (const std::system_error& error) {
        return error.code();
    }
    return {};
}

inline std::string readText(const fs::path& path) {
    platform::FileHandle file = platform::openFileForReading(path);
    std::string text;
    char block[4096];
    while (std::size_t count = platform::readSome(file, block, sizeof block)) {
        text.append(block, count);
    }
    return text;
}

#ifdef _WIN32
// UTF-8 to wide text as it is, separators included.
inline std::wstring wide(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())).wstring(); }
#endif

// Sets (or with nullopt removes) a variable of this process's environment.
inline void setVariable(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    ::_wputenv_s(wide(name).c_str(), value ? wide(*value).c_str() : L"");
#else
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
#endif
}

// Puts a variable back as it was when the test began.
class ScopedVariable {
public:
    ScopedVariable(std::string name, const std::optional<std::string>& value)
        : name_(std::move(name)), saved_(platform::environmentVariable(name_)) {
        setVariable(name_, value);
    }
    ~ScopedVariable() { setVariable(name_, saved_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

// Lets started processes inherit the handle, where the system asks for that
// per handle: the layer's start must keep it from them all the same.
inline void makeInheritable(const platform::FileHandle& file) {
#ifdef _WIN32
    ASSERT_TRUE(::SetHandleInformation(reinterpret_cast<HANDLE>(file.get()), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));
#else
    const int descriptor = static_cast<int>(file.get());
    ASSERT_EQ(::fcntl(descriptor, F_SETFD, ::fcntl(descriptor, F_GETFD) & ~FD_CLOEXEC), 0);
#endif
}

inline bool isInheritable(std::intptr_t handle) {
#ifdef _WIN32
    DWORD flags = 0;
    return ::GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags) && (flags & HANDLE_FLAG_INHERIT) != 0;
#else
    return (::fcntl(static_cast<int>(handle), F_GETFD) & FD_CLOEXEC) == 0;
#endif
}

#ifdef _WIN32
// A junction: a reparse point that sends a folder's name to another folder.
inline bool makeJunction(const fs::path& target, const fs::path& link) {
    fs::create_directory(link);
    HANDLE folder = ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::wstring substitute = L"\\??\\" + fs::absolute(target).wstring();
    const USHORT bytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
    std::vector<char> buffer(8 + 8 + bytes + 2 * sizeof(wchar_t), 0);
    auto put16 = [&](std::size_t at, USHORT value) { std::memcpy(buffer.data() + at, &value, sizeof value); };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(buffer.data(), &tag, sizeof tag);
    put16(4, static_cast<USHORT>(buffer.size() - 8));  // the data after the 8-byte header
    put16(8, 0);                                      // substitute name: offset, length
    put16(10, bytes);
    put16(12, static_cast<USHORT>(bytes + sizeof(wchar_t)));  // print name: empty, after it
    put16(14, 0);
    std::memcpy(buffer.data() + 16, substitute.data(), bytes);
    DWORD returned = 0;
    const BOOL made = ::DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    ::CloseHandle(folder);
    if (!made) {
        fs::remove(link);
    }
    return made;
}

// Wine's way to the Linux name of a path.
inline std::string unixNameOf(const fs::path& path) {
    using UnixName = char* (*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName != nullptr ? unixName(fs::absolute(path).c_str()) : nullptr;
    std::string text = name != nullptr ? name : "";
    ::HeapFree(::GetProcessHeap(), 0, name);
    return text;
}
#endif

#ifdef _WIN32
// Runs a Linux program from under Wine, which gives no handle to wait on.
inline void runUnderWine(const std::wstring& commandLine) {
    std::wstring command = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &started));
}
#endif

// A link at link that leads to the folder target, removed again (the link
// only) at the end of the scope: a symbolic link on Linux, a junction on
// Windows. Wine cannot make a reparse point (FSCTL_SET_REPARSE_POINT is
// unsupported) but shows a Linux link to a folder as one, so under Wine the
// test makes that with ln.
class FolderLink {
public:
    FolderLink(const fs::path& target, const fs::path& link) : link_(link) {
#ifdef _WIN32
        if (makeJunction(target, link)) {
            return;
        }
        if (!underWine()) {
            ADD_FAILURE() << "no junction at " << link.string();
            return;
        }
        linux_ = true;
        runUnderWine(L"/bin/ln -s \"" + wide(unixNameOf(target)) + L"\" \"" + wide(unixNameOf(link)) + L"\"");
        for (int i = 0; i < 500 && !platform::hasRedirectionAttribute(link); ++i) {
            ::Sleep(10);
        }
        EXPECT_TRUE(platform::hasRedirectionAttribute(link)) << link.string();
#else
        fs::create_directory_symlink(target, link);
#endif
    }
    ~FolderLink() {
#ifdef _WIN32
        if (linux_) {
            // The folder walk of the test's cleanup would go through the link.
            runUnderWine(L"/bin/rm -f \"" + wide(unixNameOf(link_)) + L"\"");
            for (int i = 0; i < 500 && platform::hasRedirectionAttribute(link_); ++i) {
                ::Sleep(10);
            }
        } else {
            ::RemoveDirectoryW(link_.c_str());  // a junction goes, what it leads to stays
        }
#else
        fs::remove(link_);
#endif
    }
    FolderLink(const FolderLink&) = delete;
    FolderLink& operator=(const FolderLink&) = delete;

private:
    fs::path link_;
    bool linux_ = false;
};

// The test program started again as a helper: "<program> --platform-helper
// <mode> <message folder> <arguments...>". It answers by writing the file
// "status" into its message folder and, when the mode holds something, keeps
// it until the file "release" appears there or it is ended.
class HelperProcess {
public:
    HelperProcess(const std::string& mode, const std::vector<std::string>& arguments,
                  const fs::path& workingFolder = {}, const fs::path& program = platform::executablePath()) {
        platform::ProcessStart start;
        start.program = program;
        start.arguments = {kHelperFlag, mode, platform::pathToUtf8(messages_.path())};
        start.arguments.insert(start.arguments.end(), arguments.begin(), arguments.end());
        start.commandLine = commandLineFor(platform::pathToUtf8(program), start.arguments).value();
        start.workingFolder = workingFolder.empty() ? program.parent_path() : workingFolder;
        process_ = platform::startPlatformProcess(start);
    }
    ~HelperProcess() {
        if (process_.open() && !process_.waitForExit(std::chrono::milliseconds(0))) {
            process_.end(1);
            process_.waitForExit(std::chrono::seconds(20));
        }
    }
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // The helper's answer, or "" when none came within 20 s.
    std::string status() {
        const fs::path file = messages_ / "status";
        for (int i = 0; i < 2000; ++i) {
            std::error_code error;
            if (fs::exists(file, error)) {
                return readText(file);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "";
    }
    void release() { writeFile(messages_ / "release", ""); }
    platform::ProcessHandle& process() { return process_; }

private:
    TempDir messages_;
    platform::ProcessHandle process_;
};

}  // namespace zarvo::test
