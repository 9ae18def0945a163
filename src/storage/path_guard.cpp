// Guards for the folders of the data directory: no link or redirection on the
// way to them, and a lexical test that a path stays inside its root.
#include "storage/path_guard.h"

#include <system_error>

#include "install/safe_path.h"
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
        if (std::filesystem::symlink_status(current, error).type() == std::filesystem::file_type::symlink) {
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

}  // namespace zarvo
