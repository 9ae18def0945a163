// The form in which a path reaches the Win32 calls. Without the system-wide
// long-path policy, which is off by default, the plain form stops at
// MAX_PATH; the extended form ("\\?\C:\...", "\\?\UNC\server\share\...")
// reaches 32,767 characters but is taken literally: no "/" separators, no
// "." or "..", no relative paths. So a long path is made absolute and
// normalised first, and only here, right before the call: the standard
// library does not understand the extended form, so no std::filesystem::path
// in the program ever holds one.
#include "platform/files_win32.h"

namespace zarvo::platform {
namespace {

// CreateDirectoryW leaves room for an 8.3 name, so its plain form ends 12
// characters before the others'.
constexpr std::size_t kPlainLimit = MAX_PATH - 12;

constexpr std::wstring_view kExtended = L"\\\\?\\";
constexpr std::wstring_view kExtendedShare = L"\\\\?\\UNC\\";
constexpr std::wstring_view kDevice = L"\\\\.\\";
constexpr std::wstring_view kObjectManager = L"\\??\\";

bool isDrivePath(std::wstring_view path) {
    return path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
           ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
}

// The absolute, normalised plain form, or nothing when the system cannot make one.
std::wstring fullPathOf(const std::wstring& path) {
    const DWORD capacity = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (capacity == 0) {
        return {};
    }
    std::wstring full(capacity, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), capacity, full.data(), nullptr);
    if (length == 0 || length >= capacity) {
        return {};
    }
    full.resize(length);
    return full;
}

}  // namespace

std::wstring systemPath(const std::filesystem::path& path) {
    const std::wstring& given = path.native();
    if (given.empty() || given.starts_with(kExtended) || given.starts_with(kDevice) ||
        given.starts_with(kObjectManager)) {
        return given;
    }
    const std::wstring full = fullPathOf(given);
    // A short path goes exactly as before; one the system cannot make
    // absolute is left for the call itself to refuse.
    if (full.size() < kPlainLimit) {
        return given;
    }
    if (isDrivePath(full)) {
        return std::wstring(kExtended) + full;
    }
    if (full.starts_with(L"\\\\")) {
        return std::wstring(kExtendedShare) + full.substr(2);
    }
    return full;
}

std::filesystem::path plainPath(std::wstring path) {
    if (path.starts_with(kExtendedShare)) {
        return std::filesystem::path(L"\\\\" + path.substr(kExtendedShare.size()));
    }
    if (path.starts_with(kExtended) && isDrivePath(std::wstring_view(path).substr(kExtended.size()))) {
        return std::filesystem::path(path.substr(kExtended.size()));
    }
    return std::filesystem::path(std::move(path));
}

}  // namespace zarvo::platform
