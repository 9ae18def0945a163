// Entries of the file system by name: their kind, a file's size, a folder's
// listing, removal, renames, hard links, copies and the same-file test. Each
// behaves as the std::filesystem call named beside it, errors included; they
// exist because the paths inside a slot can be longer than what Windows takes
// in its plain form, which the standard library hands on as it is.
#pragma once

#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

namespace zarvo::platform {

// What is at a path. A link is a symbolic link, or on Windows any name
// carrying the reparse-point attribute (junctions included).
enum class EntryKind { missing, file, folder, link, other };

// The kind of the entry at the path itself, a link not followed
// (std::filesystem::symlink_status). error is set when the entry cannot be
// asked about, a missing one included (then: missing).
EntryKind entryKind(const std::filesystem::path& path, std::error_code& error) noexcept;
// The same, raising std::filesystem::filesystem_error when the entry cannot
// be asked about for any reason but its absence.
EntryKind entryKind(const std::filesystem::path& path);
// The same with links followed (std::filesystem::status).
EntryKind followedEntryKind(const std::filesystem::path& path, std::error_code& error) noexcept;

// The size of the regular file at path, links followed
// (std::filesystem::file_size). Raises std::filesystem::filesystem_error.
std::uintmax_t fileSize(const std::filesystem::path& path);
std::uintmax_t fileSize(const std::filesystem::path& path, std::error_code& error) noexcept;

struct FolderEntry {
    std::filesystem::path path;  // the folder's path with the entry's name
    EntryKind kind;              // links not followed
};

// The entries of one folder in the system's order, without "." and ".."
// (std::filesystem::directory_iterator). Raises
// std::filesystem::filesystem_error.
std::vector<FolderEntry> folderEntries(const std::filesystem::path& folder);
// Every entry below folder, each folder before its contents; links are
// listed, never entered (std::filesystem::recursive_directory_iterator).
// Raises std::filesystem::filesystem_error.
std::vector<FolderEntry> folderTree(const std::filesystem::path& folder);

// Removes a file, a link or an empty folder; false when nothing was there
// (std::filesystem::remove). Raises std::filesystem::filesystem_error.
bool removeEntry(const std::filesystem::path& path);
bool removeEntry(const std::filesystem::path& path, std::error_code& error) noexcept;

// Renames from to to, replacing a file at to (std::filesystem::rename).
// Raises std::filesystem::filesystem_error.
void renameEntry(const std::filesystem::path& from, const std::filesystem::path& to);

// Makes link a second name of the existing file
// (std::filesystem::create_hard_link). error is set on failure.
void createHardLink(const std::filesystem::path& existing, const std::filesystem::path& link,
                    std::error_code& error) noexcept;

// Copies the file at source, links followed, to a new file at destination;
// an existing destination is an error (std::filesystem::copy_file). Raises
// std::filesystem::filesystem_error.
void copyFile(const std::filesystem::path& source, const std::filesystem::path& destination);

// Whether the two paths name the same file (std::filesystem::equivalent).
// error is set when either cannot be asked about.
bool sameFile(const std::filesystem::path& first, const std::filesystem::path& second,
              std::error_code& error) noexcept;

}  // namespace zarvo::platform
