// The entries through Win32 with every path in its system form, since the
// standard library hands paths on as they are and so fails beyond MAX_PATH.
// Errors are the POSIX ones errorCodeOf gives, as callers compare with std::errc.
#include "platform/file_entries.h"

#include "platform/files_win32.h"
#include "platform/held_files_win32.h"

#include <optional>

namespace zarvo::platform {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool isNotFound(DWORD error) noexcept { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

EntryKind kindOf(DWORD attributes) noexcept {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return EntryKind::link;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return EntryKind::folder;
    }
    return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? EntryKind::other : EntryKind::file;
}

// What the entry at path is after following links. An open for no access
// meets no sharing mode, so it also reaches files that others hold locked.
std::optional<BY_HANDLE_FILE_INFORMATION> followedInformation(const fs::path& path, std::error_code& error) noexcept {
    HANDLE opened = ::CreateFileW(systemPath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        error = errorCodeOf(::GetLastError());
        return std::nullopt;
    }
    FileHandle file = ownedHandle(opened);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handleOf(file), &information)) {
        error = errorCodeOf(::GetLastError());
        return std::nullopt;
    }
    error.clear();
    return information;
}

void appendTree(const fs::path& folder, std::vector<FolderEntry>& tree) {
    for (FolderEntry& entry : folderEntries(folder)) {
        const bool descend = entry.kind == EntryKind::folder;
        tree.push_back(std::move(entry));
        if (descend) {
            appendTree(tree.back().path, tree);
        }
    }
}

}  // namespace

EntryKind entryKind(const fs::path& path, std::error_code& error) noexcept {
    const DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = errorCodeOf(::GetLastError());
        return EntryKind::missing;
    }
    error.clear();
    return kindOf(attributes);
}

EntryKind entryKind(const fs::path& path) {
    std::error_code error;
    const EntryKind kind = entryKind(path, error);
    if (error && error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory) {
        throw fs::filesystem_error("status", path, error);
    }
    return kind;
}

EntryKind followedEntryKind(const fs::path& path, std::error_code& error) noexcept {
    const EntryKind kind = entryKind(path, error);
    if (kind != EntryKind::link) {
        return kind;
    }
    const auto information = followedInformation(path, error);
    return information ? kindOf(information->dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_REPARSE_POINT})
                       : EntryKind::missing;
}

std::uintmax_t fileSize(const fs::path& path, std::error_code& error) noexcept {
    constexpr auto kUnknown = static_cast<std::uintmax_t>(-1);
    const auto information = followedInformation(path, error);
    if (!information) {
        return kUnknown;
    }
    switch (kindOf(information->dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_REPARSE_POINT})) {
    case EntryKind::file:
        return (std::uintmax_t{information->nFileSizeHigh} << 32) | information->nFileSizeLow;
    case EntryKind::folder:
        error = std::make_error_code(std::errc::is_a_directory);
        return kUnknown;
    default:
        error = std::make_error_code(std::errc::not_supported);
        return kUnknown;
    }
}

std::uintmax_t fileSize(const fs::path& path) {
    std::error_code error;
    const std::uintmax_t size = fileSize(path, error);
    if (error) {
        throw fs::filesystem_error("cannot get file size", path, error);
    }
    return size;
}

std::vector<FolderEntry> folderEntries(const fs::path& folder) {
    std::error_code error;
    const EntryKind kind = followedEntryKind(folder, error);
    if (error) {
        throw fs::filesystem_error("directory iterator cannot open directory", folder, error);
    }
    if (kind != EntryKind::folder) {
        throw fs::filesystem_error("directory iterator cannot open directory", folder,
                                   std::make_error_code(std::errc::not_a_directory));
    }
    std::wstring pattern = systemPath(folder);
    if (!pattern.ends_with(L'\\') && !pattern.ends_with(L'/')) {
        pattern += L'\\';
    }
    pattern += L'*';
    std::vector<FolderEntry> entries;
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD failure = ::GetLastError();
        // A drive's root lists no "." entry, so an empty one finds nothing at all.
        if (failure == ERROR_FILE_NOT_FOUND) {
            return entries;
        }
        throw fs::filesystem_error("directory iterator cannot open directory", folder, errorCodeOf(failure));
    }
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") {
            entries.push_back({folder / fs::path(std::wstring(name)), kindOf(found.dwFileAttributes)});
        }
    } while (::FindNextFileW(search, &found));
    const DWORD failure = ::GetLastError();
    ::FindClose(search);
    if (failure != ERROR_NO_MORE_FILES) {
        throw fs::filesystem_error("directory iterator cannot advance", folder, errorCodeOf(failure));
    }
    return entries;
}

std::vector<FolderEntry> folderTree(const fs::path& folder) {
    std::vector<FolderEntry> tree;
    appendTree(folder, tree);
    return tree;
}

bool removeEntry(const fs::path& path, std::error_code& error) noexcept {
    const std::wstring target = systemPath(path);
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD failure = ::GetLastError();
        if (isNotFound(failure)) {
            error.clear();
        } else {
            error = errorCodeOf(failure);
        }
        return false;
    }
    // A junction or a link to a folder is a folder's name: removed as one,
    // and what it points to is never touched.
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool removed = waitOutHolds("remove", path, [&] {
        return (folder ? ::RemoveDirectoryW(target.c_str()) : ::DeleteFileW(target.c_str())) != FALSE;
    });
    if (!removed) {
        error = errorCodeOf(::GetLastError());
        return false;
    }
    error.clear();
    return true;
}

bool removeEntry(const fs::path& path) {
    std::error_code error;
    const bool removed = removeEntry(path, error);
    if (error) {
        throw fs::filesystem_error("cannot remove", path, error);
    }
    return removed;
}

void renameEntry(const fs::path& from, const fs::path& to) {
    const std::wstring source = systemPath(from);
    const std::wstring target = systemPath(to);
    if (!waitOutHolds("rename", from,
                      [&] { return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; })) {
        throw fs::filesystem_error("cannot rename", from, to, errorCodeOf(::GetLastError()));
    }
}

void createHardLink(const fs::path& existing, const fs::path& link, std::error_code& error) noexcept {
    if (!::CreateHardLinkW(systemPath(link).c_str(), systemPath(existing).c_str(), nullptr)) {
        error = errorCodeOf(::GetLastError());
        return;
    }
    error.clear();
}

void copyFile(const fs::path& source, const fs::path& destination) {
    if (!::CopyFileW(systemPath(source).c_str(), systemPath(destination).c_str(), TRUE)) {
        throw fs::filesystem_error("cannot copy file", source, destination, errorCodeOf(::GetLastError()));
    }
}

bool sameFile(const fs::path& first, const fs::path& second, std::error_code& error) noexcept {
    std::error_code secondError;
    const auto one = followedInformation(first, error);
    const auto other = followedInformation(second, secondError);
    if (one && other) {
        return one->dwVolumeSerialNumber == other->dwVolumeSerialNumber &&
               one->nFileIndexHigh == other->nFileIndexHigh && one->nFileIndexLow == other->nFileIndexLow;
    }
    // One missing is simply a different file; both missing, or either
    // unreadable, is an error.
    const bool firstMissing = !one && error == std::errc::no_such_file_or_directory;
    const bool secondMissing = !other && secondError == std::errc::no_such_file_or_directory;
    if ((one || firstMissing) && (other || secondMissing) && !(firstMissing && secondMissing)) {
        error.clear();
    } else if (!error) {
        error = secondError;
    }
    return false;
}

}  // namespace zarvo::platform
