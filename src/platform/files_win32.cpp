// Files on Windows: CreateFileW handles, never inheritable (no security
// attributes are given), opened with FILE_FLAG_OPEN_REPARSE_POINT wherever a
// link at the path itself must be refused. Readers share reading, writing and
// deletion, so that a document can be replaced while someone reads it, as on
// POSIX.
#include "platform/files_win32.h"

#include "platform/file_entries.h"
#include "platform/held_files_win32.h"
#include "platform/private_access_win32.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace zarvo::platform {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// ReadFile and WriteFile take a DWORD; larger requests go in pieces.
constexpr std::size_t kLargestTransfer = 1u << 30;

std::string systemMessage(DWORD error) {
    wchar_t* text = nullptr;
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text != nullptr ? text : L"", length);
    if (text != nullptr) {
        ::LocalFree(text);
    }
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
                                message.back() == L'.')) {
        message.pop_back();
    }
    return message.empty() ? "Win32 error " + std::to_string(error) : utf8FromUtf16(message);
}

[[noreturn]] void throwErrc(std::errc error, const std::string& operation, const fs::path& path) {
    throw std::system_error(std::make_error_code(error), operation + " " + pathToUtf8(path));
}

BY_HANDLE_FILE_INFORMATION informationOf(const FileHandle& file, const fs::path& path) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handleOf(file), &information)) {
        throwLastError("stat", path);
    }
    return information;
}

// The same open as the POSIX side's plain open: links followed, a folder refused.
FileHandle openExisting(const fs::path& path, DWORD access, const char* operation) {
    FileHandle file =
        ownedHandle(::CreateFileW(systemPath(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        DWORD error = ::GetLastError();
        DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            throwErrc(std::errc::is_a_directory, operation, path);
        }
        throwWin32(error, operation, path);
    }
    return file;
}

// FlushFileBuffers needs write access; sharing everything lets it reach a
// file that others still read. False with the system's error left for
// GetLastError, so that a wait for another program's hold can retry it.
bool tryFlushFile(const fs::path& path) {
    FileHandle file = openWithoutFollowing(path, GENERIC_WRITE, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (!file.valid()) {
        return false;
    }
    const bool flushed = ::FlushFileBuffers(handleOf(file)) != FALSE;
    const DWORD error = ::GetLastError();
    file.reset();
    ::SetLastError(error);  // the close must not hide why
    return flushed;
}

void flushFile(const fs::path& path) {
    if (!waitOutHolds("flush", path, [&] { return tryFlushFile(path); })) {
        throwLastError("flush", path);
    }
}

void truncateToEmpty(const FileHandle& file, const fs::path& path) {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(handleOf(file), start, nullptr, FILE_BEGIN) || !::SetEndOfFile(handleOf(file))) {
        throwLastError("truncate", path);
    }
}

}  // namespace

// --- Shared with the other Win32 implementations -----------------------------------

std::wstring utf16FromUtf8(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        throw std::system_error(std::make_error_code(std::errc::value_too_large), "text to UTF-16");
    }
    const int size = static_cast<int>(text.size());
    int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) {
        throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence), "text is not UTF-8");
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
    return wide;
}

std::string utf8FromUtf16(std::wstring_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(length, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

std::error_code errorCodeOf(DWORD error) noexcept {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return std::make_error_code(std::errc::no_such_file_or_directory);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return std::make_error_code(std::errc::file_exists);
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return std::make_error_code(std::errc::permission_denied);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return std::make_error_code(std::errc::device_or_resource_busy);
    case ERROR_NOT_SAME_DEVICE:
        return std::make_error_code(std::errc::cross_device_link);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return std::make_error_code(std::errc::no_space_on_device);
    case ERROR_DIRECTORY:
        return std::make_error_code(std::errc::not_a_directory);
    case ERROR_DIR_NOT_EMPTY:
        return std::make_error_code(std::errc::directory_not_empty);
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER:
        return std::make_error_code(std::errc::invalid_argument);
    case ERROR_FILENAME_EXCED_RANGE:
        return std::make_error_code(std::errc::filename_too_long);
    case ERROR_TOO_MANY_OPEN_FILES:
        return std::make_error_code(std::errc::too_many_files_open);
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return std::make_error_code(std::errc::not_enough_memory);
    case ERROR_BAD_EXE_FORMAT:
        return std::make_error_code(std::errc::executable_format_error);
    case ERROR_NOT_SUPPORTED:
        return std::make_error_code(std::errc::not_supported);
    default:
        return std::error_code(static_cast<int>(error), std::system_category());
    }
}

void throwWin32(DWORD error, const std::string& operation, const fs::path& path) {
    std::string what = path.empty() ? operation : operation + " " + pathToUtf8(path);
    throw std::system_error(errorCodeOf(error), what + " (" + systemMessage(error) + ")");
}

bool hasReparsePoint(const fs::path& path) noexcept {
    DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

FileHandle openWithoutFollowing(const fs::path& path, DWORD access, DWORD sharing, DWORD disposition, DWORD flags) {
    // Both questions: Windows answers the handle's, Wine only the name's, as
    // it follows a link even when asked to open the link itself.
    if (hasReparsePoint(path)) {
        throwErrc(std::errc::too_many_symbolic_link_levels, "open", path);
    }
    FileHandle file = ownedHandle(
        ::CreateFileW(systemPath(path).c_str(), access, sharing, nullptr, disposition,
                      flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        return file;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (::GetFileInformationByHandleEx(handleOf(file), FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        throwErrc(std::errc::too_many_symbolic_link_levels, "open", path);
    }
    return file;
}

void requireRegularFile(const FileHandle& file, const fs::path& path) {
    if (::GetFileType(handleOf(file)) != FILE_TYPE_DISK ||
        (informationOf(file, path).dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "not a regular file " + pathToUtf8(path));
    }
}

// --- Handles ---------------------------------------------------------------

void FileHandle::reset() noexcept {
    if (valid()) {
        ::CloseHandle(handleOf(*this));
        handle_ = kInvalid;
    }
}

// --- Reading and writing -------------------------------------------------------

FileHandle openFileForReading(const fs::path& path) { return openExisting(path, GENERIC_READ, "open"); }

FileHandle createNewFile(const fs::path& path) {
    FileHandle file =
        ownedHandle(::CreateFileW(systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        throwLastError("create", path);
    }
    return file;
}

std::size_t readSome(const FileHandle& file, char* buffer, std::size_t size) {
    DWORD count = 0;
    if (!::ReadFile(handleOf(file), buffer, static_cast<DWORD>(std::min(size, kLargestTransfer)), &count, nullptr)) {
        DWORD error = ::GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) {
            return 0;
        }
        throwWin32(error, "read");
    }
    return count;
}

void writeAll(const FileHandle& file, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD count = 0;
        if (!::WriteFile(handleOf(file), bytes.data(), static_cast<DWORD>(std::min(bytes.size(), kLargestTransfer)),
                         &count, nullptr)) {
            throwLastError("write");
        }
        bytes.remove_prefix(count);
    }
}

void closeFile(FileHandle& file) {
    HANDLE handle = reinterpret_cast<HANDLE>(file.release());
    if (handle != INVALID_HANDLE_VALUE && !::CloseHandle(handle)) {
        throwLastError("close");
    }
}

OutputFile::OutputFile(const fs::path& path, OutputMode mode) {
    // Append access makes every write land at the end, as O_APPEND does;
    // others may read, rename or remove the file meanwhile, as on POSIX.
    const DWORD access = mode == OutputMode::Append ? FILE_APPEND_DATA : GENERIC_WRITE;
    handle_ = openWithoutFollowing(path, access, kShareAll, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (!handle_.valid()) {
        throwLastError("open", path);
    }
    requireRegularFile(handle_, path);
    if (mode == OutputMode::Truncate) {
        truncateToEmpty(handle_, path);
    }
}

void OutputFile::write(const char* data, std::size_t size) { writeAll(handle_, std::string_view(data, size)); }

// Windows has no write-back hint; the closing flush does all the writing.
void OutputFile::startWriteBack(std::uint64_t, std::uint64_t) noexcept {}

void replaceFileDurably(const fs::path& source, const fs::path& target) {
    // The data must reach the disk before the name does, or a crash could
    // leave an empty file under the target's name. Another program's hold on
    // either name is waited out for the flush and the rename together.
    const auto replace = [&] {
        return tryFlushFile(source) && ::MoveFileExW(systemPath(source).c_str(), systemPath(target).c_str(),
                                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    };
    if (!waitOutHolds("replace", source, replace)) {
        throwLastError("replace", source);
    }
}

FileTail readFileTail(const fs::path& path, std::size_t limit) {
    FileHandle file = openExisting(path, GENERIC_READ, "open");
    requireRegularFile(file, path);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handleOf(file), &size)) {
        throwLastError("stat", path);
    }
    FileTail tail;
    tail.size = static_cast<std::uint64_t>(size.QuadPart);
    const std::uint64_t start = tail.size > limit ? tail.size - limit : 0;
    tail.bytes.resize(static_cast<std::size_t>(tail.size - start));
    std::size_t done = 0;
    // Reads at an offset: a log that grows meanwhile never moves the window being read.
    while (done < tail.bytes.size()) {
        OVERLAPPED at{};
        const std::uint64_t offset = start + done;
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD count = 0;
        if (!::ReadFile(handleOf(file), tail.bytes.data() + done,
                        static_cast<DWORD>(std::min(tail.bytes.size() - done, kLargestTransfer)), &count, &at) ||
            count == 0) {
            break;  // a file cut short meanwhile: keep what arrived
        }
        done += count;
    }
    tail.bytes.resize(done);
    return tail;
}

// --- The installer's files -------------------------------------------------------

FileHandle openFileForReplacing(const fs::path& path) {
    FileHandle file = openWithoutFollowing(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (!file.valid()) {
        throwLastError("open", path);
    }
    // Truncated only once it is known to be a regular file, never a device left at the path.
    requireRegularFile(file, path);
    truncateToEmpty(file, path);
    return file;
}

void setFilePermissions(const FileHandle&, unsigned) {}

void copyFileToNew(const fs::path& source, const fs::path& destination) {
    FileHandle from = openWithoutFollowing(source, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!from.valid()) {
        throwLastError("open", source);
    }
    requireRegularFile(from, source);
    FileHandle to = ownedHandle(::CreateFileW(systemPath(destination).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!to.valid()) {
        throwLastError("create", destination);
    }
    std::vector<char> block(1 << 20);
    for (;;) {
        std::size_t count = readSome(from, block.data(), block.size());
        if (count == 0) {
            break;
        }
        writeAll(to, std::string_view(block.data(), count));
    }
    // The copy is about to be published by a folder rename; its bytes must be
    // on disk before its name can be.
    if (!::FlushFileBuffers(handleOf(to))) {
        throwLastError("flush", destination);
    }
    closeFile(to);
}

// --- Folders -----------------------------------------------------------------

std::error_code moveFolderNoReplace(const fs::path& source, const fs::path& target) {
    // Without MOVEFILE_REPLACE_EXISTING nothing at the target is replaced, and
    // without MOVEFILE_COPY_ALLOWED a move to another volume fails.
    if (!waitOutHolds("rename", source, [&] {
            return ::MoveFileExW(systemPath(source).c_str(), systemPath(target).c_str(), MOVEFILE_WRITE_THROUGH) !=
                   FALSE;
        })) {
        return errorCodeOf(::GetLastError());
    }
    return {};
}

// Windows renames one name at a time; the caller's two renames and the repair
// at the next start stand in for the exchange.
std::error_code exchangeFolders(const fs::path&, const fs::path&) {
    return std::make_error_code(std::errc::function_not_supported);
}

// Windows has no syncfs: every regular file below the folder is flushed on its
// own, and the folders' entries are the file system's journal's business.
void flushFolderTree(const fs::path& folder) {
    std::error_code error;
    if (entryKind(folder, error) != EntryKind::folder) {
        throwErrc(std::errc::not_a_directory, "open", folder);
    }
    for (const FolderEntry& entry : folderTree(folder)) {
        if (entry.kind == EntryKind::file) {
            flushFile(entry.path);
        }
    }
}

void createPrivateFolder(const fs::path& folder) {
    // Not the parent's rules: a folder made under C:\ would let other accounts in.
    if (!::CreateDirectoryW(systemPath(folder).c_str(), privateFolderAttributes())) {
        const DWORD failure = ::GetLastError();
        if (failure != ERROR_ALREADY_EXISTS) {
            throw fs::filesystem_error("create folder", folder, errorCodeOf(failure));
        }
    }
}

bool isOutOfSpace(const std::error_code& error) noexcept {
    // This layer reports ERROR_DISK_FULL and ERROR_HANDLE_DISK_FULL as the
    // generic condition; the standard library may pass the system's own code.
    return error == std::errc::no_space_on_device ||
           (error.category() == std::system_category() &&
            (error.value() == ERROR_DISK_FULL || error.value() == ERROR_HANDLE_DISK_FULL));
}

bool restrictToOwner(const fs::path& folder) {
    if (::GetFileAttributesW(systemPath(folder).c_str()) == INVALID_FILE_ATTRIBUTES) {
        throwLastError("stat", folder);
    }
    return false;
}

FolderWatch::FolderWatch(const fs::path& folder) noexcept
    : handle_(reinterpret_cast<std::intptr_t>(::FindFirstChangeNotificationW(
          systemPath(folder).c_str(), FALSE,
          FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
              FILE_NOTIFY_CHANGE_SIZE))) {}

FolderWatch::~FolderWatch() {
    if (handle_ != FileHandle::kInvalid) {
        ::FindCloseChangeNotification(reinterpret_cast<HANDLE>(handle_));
    }
}

void FolderWatch::waitForChange(std::chrono::milliseconds timeout) noexcept {
    const DWORD milliseconds =
        static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1));
    if (handle_ == FileHandle::kInvalid) {
        ::Sleep(milliseconds);
        return;
    }
    // The notification stays signalled until it is re-armed, so a change
    // between two calls is not missed; the next wait starts afresh.
    HANDLE handle = reinterpret_cast<HANDLE>(handle_);
    if (::WaitForSingleObject(handle, milliseconds) == WAIT_OBJECT_0) {
        ::FindNextChangeNotification(handle);
    }
}

bool hasRedirectionAttribute(const fs::path& path) noexcept { return hasReparsePoint(path); }

// --- Path text -----------------------------------------------------------------

std::string pathToUtf8(const fs::path& path) { return utf8FromUtf16(path.native()); }

std::string pathToGenericUtf8(const fs::path& path) { return utf8FromUtf16(path.generic_wstring()); }

fs::path pathFromUtf8(const std::string& text) { return fs::path(utf16FromUtf8(text)).make_preferred(); }

namespace {

// The names of a path made absolute and normal, without the empty last name
// a trailing separator leaves.
std::vector<std::wstring> namesOf(const fs::path& path) {
    std::vector<std::wstring> names;
    for (const fs::path& name : fs::absolute(path).lexically_normal()) {
        if (!name.empty()) {
            names.push_back(name.wstring());
        }
    }
    return names;
}

// Whether the first names of path are those of folder, compared as the file system does, without case.
bool beginsWith(const std::vector<std::wstring>& path, const std::vector<std::wstring>& folder) {
    if (path.size() < folder.size()) {
        return false;
    }
    for (std::size_t i = 0; i < folder.size(); ++i) {
        if (::CompareStringOrdinal(path[i].c_str(), -1, folder[i].c_str(), -1, TRUE) != CSTR_EQUAL) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool liesInside(const fs::path& path, const fs::path& folder) {
    const std::vector<std::wstring> inner = namesOf(path);
    const std::vector<std::wstring> outer = namesOf(folder);
    return inner.size() > outer.size() && beginsWith(inner, outer);
}

bool isSameLocation(const fs::path& first, const fs::path& second) {
    const std::vector<std::wstring> one = namesOf(first);
    const std::vector<std::wstring> other = namesOf(second);
    return one.size() == other.size() && beginsWith(one, other);
}

}  // namespace zarvo::platform
