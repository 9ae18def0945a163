// Guards for the folders of the data directory (no link or redirection on the
// way to them, a lexical test that a path stays inside its root) and the
// deletion that relies on them: the whole tree is listed and checked for
// links before the first entry goes, then removed deepest first.
#include "storage/path_guard.h"

#include <system_error>
#include <vector>

#include "install/safe_path.h"
#include "log/logger.h"
#include "platform/file_entries.h"
#include "platform/files.h"
#include "trust/error.h"

namespace zarvo {
namespace {

// Absolute and lexically normal, without a trailing separator, which would
// make a path inside the root look like one ending in "/". Joined to the
// working folder by hand: Windows' own absolute form drops trailing dots and
// blanks, and the names are to be judged as written.
std::filesystem::path normalisedAbsolute(const std::filesystem::path& path) {
    if (path.empty()) {
        return path;
    }
    std::filesystem::path result = (std::filesystem::current_path() / path).lexically_normal();
    if (!result.has_filename() && result.has_relative_path()) {
        result = result.parent_path();
    }
    return result;
}

}  // namespace

void guardPath(const std::filesystem::path& path) {
    // Every prefix of the absolute path as the file system will walk it: a
    // lexically normalised form would let "link/.." pass while the system
    // goes through the link. A trailing separator becomes the folder itself.
    if (path.empty()) {
        return;
    }
    std::filesystem::path current = std::filesystem::absolute(path);
    // A volume's root cannot be redirected by anyone below the system; Wine
    // even reports its drives, which are links to Unix folders, as reparse
    // points.
    while (current.has_relative_path()) {
        std::error_code error;
        // A component that cannot be asked about (missing, say) is no link.
        if (platform::entryKind(current, error) == platform::EntryKind::link) {
            throw Error("GUARD_UNSAFE_PATH", messageWithPath("Ссылка в защищённой папке", path));
        }
        if (platform::hasRedirectionAttribute(current)) {
            throw Error("GUARD_UNSAFE_PATH", "Перенаправление защищённой папки");
        }
        current = current.parent_path();
    }
}

bool isWithinStorage(const std::filesystem::path& root, const std::filesystem::path& path) {
    std::filesystem::path relative = normalisedAbsolute(path).lexically_relative(normalisedAbsolute(root));
    if (relative.empty() || relative == ".") {
        return false;
    }
    // The installer's own test refuses ".." (outside the root) and every name
    // that could not be created safely inside it.
    return isSafeRelativePath(platform::pathToGenericUtf8(relative));
}

namespace {

namespace fs = std::filesystem;

// The target first, then every entry below it, each folder before its contents.
std::vector<fs::path> entriesToDelete(const fs::path& target, platform::EntryKind kind) {
    std::vector<fs::path> entries{target};
    if (kind != platform::EntryKind::folder) {
        return entries;
    }
    // The walk does not follow folder links; guardPath refuses every link it
    // meets, so a link anywhere in the tree stops the removal before anything
    // is deleted and whatever it points to is never reached.
    for (const platform::FolderEntry& entry : platform::folderTree(target)) {
        guardPath(entry.path);
        entries.push_back(entry.path);
    }
    return entries;
}

}  // namespace

void removeWithinStorage(const fs::path& root, const fs::path& target) {
    if (!isWithinStorage(root, target)) {
        throw Error("LOCAL_ERROR", "Удаление за пределами хранилища запрещено");
    }
    guardPath(target);
    const platform::EntryKind kind = platform::entryKind(target);
    if (kind == platform::EntryKind::missing) {
        return;
    }
    std::vector<fs::path> entries = entriesToDelete(target, kind);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        // Checked again right before the deletion: a folder swapped for a
        // link since the walk must not be deleted through.
        guardPath(*it);
        platform::removeEntry(*it);
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
