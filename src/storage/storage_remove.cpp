// Guarded deletion for the data directory: the whole tree is listed and
// checked for links before the first entry goes, then removed deepest first.
#include "storage/storage_remove.h"

#include <system_error>
#include <vector>

#include "log/logger.h"
#include "platform/files.h"
#include "storage/path_guard.h"
#include "trust/error.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// The target first, then every entry below it, each folder before its contents.
std::vector<fs::path> entriesToDelete(const fs::path& target, const fs::file_status& status) {
    std::vector<fs::path> entries{target};
    if (status.type() != fs::file_type::directory) {
        return entries;
    }
    // The walk does not follow folder links; guardPath refuses every link it
    // meets, so a link anywhere in the tree stops the removal before anything
    // is deleted and whatever it points to is never reached.
    for (auto it = fs::recursive_directory_iterator(target); it != fs::recursive_directory_iterator(); ++it) {
        guardPath(it->path());
        entries.push_back(it->path());
    }
    return entries;
}

}  // namespace

void removeWithinStorage(const fs::path& root, const fs::path& target) {
    if (!isWithinStorage(root, target)) {
        throw Error("LOCAL_ERROR", "Удаление за пределами хранилища запрещено");
    }
    guardPath(target);
    fs::file_status status = fs::symlink_status(target);
    if (status.type() == fs::file_type::not_found) {
        return;
    }
    std::vector<fs::path> entries = entriesToDelete(target, status);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        // Checked again right before the deletion: a folder swapped for a
        // link since the walk must not be deleted through.
        guardPath(*it);
        fs::remove(*it);
    }
}

void tryRemoveWithinStorage(const fs::path& root, const fs::path& target) {
    try {
        removeWithinStorage(root, target);
    } catch (const std::exception& error) {
        // Typically a file another process still has open: a later run retries.
        logMessage(LogLevel::Debug,
                   "storage.cleanup-deferred " + platform::pathToGenericUtf8(target) + " " + error.what());
    }
}

}  // namespace zarvo
