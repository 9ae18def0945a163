// What the file functions do the same way on every system, on top of each
// system's own calls.
#include "platform/files.h"

#include "platform/file_entries.h"

namespace zarvo::platform {

namespace fs = std::filesystem;

void createPrivateFolders(const fs::path& folder) {
    if (folder.empty()) {
        return;
    }
    std::error_code error;
    if (followedEntryKind(folder, error) == EntryKind::folder) {
        return;
    }
    const fs::path parent = folder.parent_path();
    if (parent != folder && !parent.empty()) {
        createPrivateFolders(parent);
    }
    createPrivateFolder(folder);
    if (followedEntryKind(folder, error) != EntryKind::folder) {
        throw fs::filesystem_error("create folder", folder, std::make_error_code(std::errc::not_a_directory));
    }
}

}  // namespace zarvo::platform
