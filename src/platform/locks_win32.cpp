// Locks on Windows are the sharing modes themselves: a lock file is opened
// with share mode 0, so every other open fails with ERROR_SHARING_VIOLATION
// until the handle is closed (by us, or by the system when the holder dies).
// Component folders are opened sharing reading and writing but not deletion,
// component files sharing reading only: while they are held nobody can write,
// move or delete them. An antivirus's brief hold on any of them is waited
// out; a lock file's sharing violation is another pre-starter and answers at once.
#include "platform/locks.h"

#include "platform/files_win32.h"
#include "platform/held_files_win32.h"

namespace zarvo::platform {

std::optional<FileHandle> openExclusiveLockFile(const std::filesystem::path& path) {
    FileHandle handle;
    const auto open = [&] {
        handle = openWithoutFollowing(path, GENERIC_READ, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
        return handle.valid();
    };
    if (!waitOutHolds("lock", path, open, SharingViolation::final)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            return std::nullopt;
        }
        throwWin32(error, "open lock file", path);
    }
    return handle;
}

FileHandle openComponentFolder(const std::filesystem::path& path) {
    FileHandle folder;
    const auto open = [&] {
        folder = openWithoutFollowing(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS);
        return folder.valid();
    };
    if (!waitOutHolds("open", path, open)) {
        throwLastError("open folder", path);
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handleOf(folder), &information)) {
        throwLastError("stat", path);
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw std::system_error(std::make_error_code(std::errc::not_a_directory), "open folder " + pathToUtf8(path));
    }
    return folder;
}

std::optional<FileHandle> openComponentFile(const std::filesystem::path& path) {
    FileHandle file;
    const auto open = [&] {
        file = openWithoutFollowing(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
        return file.valid();
    };
    // A writer that keeps the file after the waits is "busy", as before.
    if (!waitOutHolds("open", path, open)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            return std::nullopt;
        }
        throwWin32(error, "open", path);
    }
    requireRegularFile(file, path);
    return file;
}

}  // namespace zarvo::platform
