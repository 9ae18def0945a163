// The user's own menu entry for the pre-starter, so that starting the program
// from the desktop reaches the copy that the self-update installed.
#pragma once

#include <filesystem>

namespace zarvo::platform {

enum class DesktopEntryUpdate {
    written,    // the entry now starts the executable
    unchanged,  // it already said exactly that
    leftAlone,  // a link stands at the entry or its folder; it is not followed
};

// Points the per-user menu entry at executable. Linux: the program's desktop
// file under $XDG_DATA_HOME/applications (or ~/.local/share/applications),
// which takes precedence over the system-wide one; written atomically. Raises
// std::system_error, or zarvo::Error when no user folder is known.
DesktopEntryUpdate pointDesktopEntryAt(const std::filesystem::path& executable);

}  // namespace zarvo::platform
