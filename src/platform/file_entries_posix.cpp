// The entries through std::filesystem itself, which on POSIX takes paths of
// any length.
#include "platform/file_entries.h"

namespace zarvo::platform {
namespace {

namespace fs = std::filesystem;

EntryKind kindOf(const fs::file_status& status) noexcept {
    switch (status.type()) {
    case fs::file_type::none:
    case fs::file_type::not_found:
        return EntryKind::missing;
    case fs::file_type::regular:
        return EntryKind::file;
    case fs::file_type::directory:
        return EntryKind::folder;
    case fs::file_type::symlink:
        return EntryKind::link;
    default:
        return EntryKind::other;
    }
}

}  // namespace

EntryKind entryKind(const fs::path& path, std::error_code& error) noexcept {
    return kindOf(fs::symlink_status(path, error));
}

EntryKind entryKind(const fs::path& path) { return kindOf(fs::symlink_status(path)); }

EntryKind followedEntryKind(const fs::path& path, std::error_code& error) noexcept {
    return kindOf(fs::status(path, error));
}

std::uintmax_t fileSize(const fs::path& path) { return fs::file_size(path); }

std::uintmax_t fileSize(const fs::path& path, std::error_code& error) noexcept { return fs::file_size(path, error); }

std::vector<FolderEntry> folderEntries(const fs::path& folder) {
    std::vector<FolderEntry> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        entries.push_back({entry.path(), kindOf(entry.symlink_status())});
    }
    return entries;
}

std::vector<FolderEntry> folderTree(const fs::path& folder) {
    std::vector<FolderEntry> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        entries.push_back({entry.path(), kindOf(entry.symlink_status())});
    }
    return entries;
}

bool removeEntry(const fs::path& path) { return fs::remove(path); }

bool removeEntry(const fs::path& path, std::error_code& error) noexcept { return fs::remove(path, error); }

void renameEntry(const fs::path& from, const fs::path& to) { fs::rename(from, to); }

void createHardLink(const fs::path& existing, const fs::path& link, std::error_code& error) noexcept {
    fs::create_hard_link(existing, link, error);
}

void copyFile(const fs::path& source, const fs::path& destination) { fs::copy_file(source, destination); }

bool sameFile(const fs::path& first, const fs::path& second, std::error_code& error) noexcept {
    return fs::equivalent(first, second, error);
}

}  // namespace zarvo::platform
