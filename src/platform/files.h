// Files and folders through owned handles that started processes never
// inherit: reads and writes, output files, atomic replacement, tails, the
// installer's files and copies, folder moves and flushes, private folders,
// folder watches, redirections, and the path text other processes are given.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace zarvo::platform {

// --- Handles ---------------------------------------------------------------

// An owned operating-system file handle (a descriptor, or a Windows HANDLE),
// closed when it goes out of scope. Move-only.
class FileHandle {
public:
    static constexpr std::intptr_t kInvalid = -1;

    FileHandle() = default;
    explicit FileHandle(std::intptr_t handle) noexcept : handle_(handle) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : handle_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.release();
        }
        return *this;
    }
    ~FileHandle() { reset(); }

    bool valid() const noexcept { return handle_ != kInvalid; }
    std::intptr_t get() const noexcept { return handle_; }
    std::intptr_t release() noexcept {
        const std::intptr_t handle = handle_;
        handle_ = kInvalid;
        return handle;
    }
    // Closes the handle; a failing close is ignored, there is nothing left to do with it.
    void reset() noexcept;

private:
    std::intptr_t handle_ = kInvalid;
};

// --- Reading and writing -------------------------------------------------------

// Opens an existing file for reading, links followed. A folder is refused, as
// it cannot be opened as a file on every platform. Others may still write,
// rename or replace the file meanwhile. Raises std::system_error.
FileHandle openFileForReading(const std::filesystem::path& path);
// Creates a new file for writing; an existing file or link at the path is
// refused, never truncated or followed. Raises std::system_error.
FileHandle createNewFile(const std::filesystem::path& path);
// Reads up to size bytes; 0 only at end of file. Raises std::system_error.
std::size_t readSome(const FileHandle& file, char* buffer, std::size_t size);
// Writes every byte. Raises std::system_error (a full disk included).
void writeAll(const FileHandle& file, std::string_view bytes);
// Closes the handle and reports a failing close, which on some file systems is
// the first sign that written data did not reach the disk.
void closeFile(FileHandle& file);

enum class OutputMode { Truncate, Append };

// A file written front to back by one owner, such as a download's partial
// file or the log; others may read it meanwhile. Closed when it goes out of scope.
class OutputFile {
public:
    OutputFile() = default;
    // Opens (creating when missing) without following a link at the path itself.
    // Raises std::system_error.
    OutputFile(const std::filesystem::path& path, OutputMode mode);

    bool isOpen() const noexcept { return handle_.valid(); }
    // Writes all the bytes or raises std::system_error.
    void write(const char* data, std::size_t size);
    // Starts writing this byte range to disk without waiting for it, so that a
    // later flush of the whole file waits for little. Best effort: a system
    // without the call, or a failure, changes nothing.
    void startWriteBack(std::uint64_t offset, std::uint64_t length) noexcept;
    void close() noexcept { handle_.reset(); }

private:
    FileHandle handle_;
};

// Moves source over target in the same folder, replacing it, and returns only
// once the move is on disk: readers see the old or the new file, never a mix.
// Raises std::system_error; on failure the target is unchanged.
void replaceFileDurably(const std::filesystem::path& source, const std::filesystem::path& target);

struct FileTail {
    std::uint64_t size = 0;  // the file's length when it was opened
    std::string bytes;       // at most the requested number of bytes before that length
};

// The last bytes of a regular file that another part of the program may still
// be appending to, such as the log: up to limit bytes from offset
// max(0, size - limit). A short read keeps what arrived. Raises
// std::system_error when the file cannot be opened.
FileTail readFileTail(const std::filesystem::path& path, std::size_t limit);

// --- The installer's files -------------------------------------------------------

// Opens the file at path for writing, creating it or truncating what is there;
// a link at the path itself is refused, not followed. New files start readable
// and writable by the owner only. Raises std::system_error.
FileHandle openFileForReplacing(const std::filesystem::path& path);
// Sets the file's permission bits (owner, group, others: the low nine bits)
// exactly, without the creation mask. Windows keeps no such bits: there the
// folder's inherited access rules apply and this changes nothing. Raises
// std::system_error.
void setFilePermissions(const FileHandle& file, unsigned permissions);
// Copies the regular file at source (a link there is refused, not followed) to
// a new file at destination, which must not exist: nothing is ever
// overwritten. The copy keeps the permission bits and is on disk when this
// returns. Raises std::system_error; a partial copy may remain on failure.
void copyFileToNew(const std::filesystem::path& source, const std::filesystem::path& destination);

// --- Folders -----------------------------------------------------------------

// Renames source to target unless something exists at target, and makes the
// move survive a power loss. Returns the error (file_exists,
// cross_device_link, ...) instead of raising; on error nothing moved.
std::error_code moveFolderNoReplace(const std::filesystem::path& source, const std::filesystem::path& target);
// Swaps two existing folders in one step, so that no moment passes without
// either name, and makes the swap survive a power loss. Returns the error
// instead of raising: std::errc::function_not_supported where the system (or
// the file system: Windows, or Linux without RENAME_EXCHANGE there) cannot,
// so the caller falls back to two renames. On error nothing moved.
std::error_code exchangeFolders(const std::filesystem::path& first, const std::filesystem::path& second);
// Makes every file and folder below folder durable, so that a rename that
// publishes it can never outlive its contents in a power cut. Raises
// std::system_error.
void flushFolderTree(const std::filesystem::path& folder);

// Creates the folder and its missing parents, each new one accessible to the
// user only (Windows: a protected access list for the user and the system
// account, passed on to what is made inside); existing folders are left as
// they are. Raises std::filesystem::filesystem_error.
void createPrivateFolders(const std::filesystem::path& folder);
// Creates one folder, whose parent exists, accessible to the user only; one
// that is already there is no error. Raises std::filesystem::filesystem_error.
void createPrivateFolder(const std::filesystem::path& folder);
// Whether a failed write found the disk or the user's quota full.
bool isOutOfSpace(const std::error_code& error) noexcept;
// Closes an existing folder to everyone but its owner when it is open to
// others; returns whether it was changed. Windows' per-user folders are
// private already. Raises std::system_error.
bool restrictToOwner(const std::filesystem::path& folder);

// Watches one folder for entries created, moved in or finished being written,
// so that a file another process writes there is seen at once rather than
// after a fixed pause. A watch that cannot be set up simply waits out every
// time-out. Not copyable; used by one thread.
class FolderWatch {
public:
    explicit FolderWatch(const std::filesystem::path& folder) noexcept;
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;
    ~FolderWatch();
    // Returns once the time-out has passed, or earlier when the folder changed
    // since the last call. Never raises.
    void waitForChange(std::chrono::milliseconds timeout) noexcept;

private:
    std::intptr_t handle_ = FileHandle::kInvalid;
};

// True when the path exists and carries the reparse-point attribute (Windows:
// a junction, mount point or link). Linux has no such attribute: a mount point
// is not a redirection and callers test for symbolic links themselves, so
// this is always false there.
bool hasRedirectionAttribute(const std::filesystem::path& path) noexcept;

// --- Files other programs hold for a moment -------------------------------------

// Antivirus products and indexers open a freshly written file for a moment;
// on Windows a rename, a removal or an open with our sharing modes then fails
// with a sharing violation, a lock violation or "access denied". The layer
// waits such a hold out (from 10 ms, doubling to 1 s a wait, about 10 s in
// all) and reports each operation that had to wait, once, when it ends: one
// line "file.held operation=… path=… error=… waitedMs=… outcome=done|failed".
// A lock file another process holds is still busy at once. Linux has no such
// holds: nothing waits there.
using HeldFileReport = void (*)(const std::string& line);
// Where those lines go (the log); nullptr drops them. Set once at start-up.
void reportHeldFilesTo(HeldFileReport report) noexcept;

// --- Path text ---------------------------------------------------------------

// The path as UTF-8 in the platform's own separator form.
std::string pathToUtf8(const std::filesystem::path& path);
// The path as UTF-8 with "/" separators, as handed to other processes.
std::string pathToGenericUtf8(const std::filesystem::path& path);
// A platform path from UTF-8 text; "/" is accepted as a separator. Raises
// std::system_error where paths are UTF-16 and the text is not valid UTF-8.
std::filesystem::path pathFromUtf8(const std::string& text);

}  // namespace zarvo::platform
