// The player's removal of the program ("--uninstall"): its data folder, its
// menu entry and, on Windows, its listing among the installed programs.
#pragma once

#include <filesystem>

namespace zarvo {

// Removes the data folder while nothing uses it, holding its locks throughout,
// then the menu entry and the listing when they point into it (another copy's
// are kept). A missing folder leaves only the entries to remove. Opens no log:
// the log lives in the folder being removed, so the run's lines go to standard
// error, and "ZarvoLauncher удалён" to standard output. Returns 0. Raises,
// having removed nothing: "UPDATE_BUSY" "Обновление уже открыто в другом
// процессе", "DATA_IN_USE" while the launcher or the game runs from the
// folder, "LOCAL_ERROR" for a folder without a pre-starter's files, and
// "GUARD_UNSAFE_PATH" for a link or redirection in it; then the file system's
// and the system's errors of the removal itself. Main thread.
int runUninstall(const std::filesystem::path& dataDir);

}  // namespace zarvo
