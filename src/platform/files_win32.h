// Shared by the Win32 implementations only: UTF-8 and UTF-16 conversion in
// one place, Win32 errors as std::system_error, handles inside a FileHandle,
// and the checks that refuse redirections and files that are not regular.
//
// Every path reaches the wide-character calls through systemPath: the
// manifest's longPathAware counts only where the system-wide long-path policy
// is on, which it is not by default, so a long path goes in the extended form.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/files.h"

namespace zarvo::platform {

// UTF-8 to UTF-16; raises std::system_error (EILSEQ) for text that is not valid UTF-8.
std::wstring utf16FromUtf8(std::string_view text);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8FromUtf16(std::wstring_view text);

// The path as the Win32 calls take it: as it is while short; from MAX_PATH - 12
// characters on, absolute, normalised ("/" to "\\", "." and ".." resolved)
// and extended ("\\?\C:\...", "\\?\UNC\server\share\..."), which
// has no length limit short of 32,767. An extended or device path stays as it
// is. Only for the call itself: std::filesystem cannot handle the extended form.
std::wstring systemPath(const std::filesystem::path& path);
// A path the system gave back, without the extended prefix, fit for std::filesystem.
std::filesystem::path plainPath(std::wstring path);

inline HANDLE handleOf(const FileHandle& file) noexcept { return reinterpret_cast<HANDLE>(file.get()); }
inline FileHandle ownedHandle(HANDLE handle) noexcept { return FileHandle(reinterpret_cast<std::intptr_t>(handle)); }

// The error a POSIX system reports for the same case (ERROR_FILE_NOT_FOUND is
// no_such_file_or_directory, ERROR_SHARING_VIOLATION device_or_resource_busy,
// ...), so callers compare with std::errc on every system; codes without a
// counterpart stay in the system category.
std::error_code errorCodeOf(DWORD error) noexcept;
// Raises that error; what() names the operation, the path and the system's own message.
[[noreturn]] void throwWin32(DWORD error, const std::string& operation, const std::filesystem::path& path = {});
[[noreturn]] inline void throwLastError(const std::string& operation, const std::filesystem::path& path = {}) {
    throwWin32(::GetLastError(), operation, path);
}

// True when the name at path carries the reparse-point attribute (0x400).
bool hasReparsePoint(const std::filesystem::path& path) noexcept;
// Opens with FILE_FLAG_OPEN_REPARSE_POINT and refuses a reparse point at the
// path itself with too_many_symbolic_link_levels, as O_NOFOLLOW does: asked by
// name before the open and of the handle after it. Returns an invalid handle
// when the open itself fails, leaving GetLastError to the caller.
FileHandle openWithoutFollowing(const std::filesystem::path& path, DWORD access, DWORD sharing, DWORD disposition,
                                DWORD flags);
// Raises std::system_error (EINVAL) unless the handle is a regular file on disk:
// not a folder, a device or a pipe.
void requireRegularFile(const FileHandle& file, const std::filesystem::path& path);
// Whether path lies strictly inside folder, judged lexically (both made
// absolute and normal) and name by name without regard to case, as the file
// system compares names.
bool liesInside(const std::filesystem::path& path, const std::filesystem::path& folder);
// Whether the two paths name the same place, judged the same way.
bool isSameLocation(const std::filesystem::path& first, const std::filesystem::path& second);

}  // namespace zarvo::platform
