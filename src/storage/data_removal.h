// The removal of a whole data directory, for a player who uninstalls the program.
#pragma once

#include "storage/data_directory_hold.h"
#include "storage/data_layout.h"

namespace zarvo {

// Whether the folder holds what a run of the pre-starter leaves: its state,
// its update lock or its log. A folder without any of them (a home folder
// named by mistake) is never removed as a whole.
bool looksLikeDataDirectory(const DataLayout& layout) noexcept;

// Removes the data directory and everything in it, the lock files that hold
// last. Every entry is checked before the first one goes, so a link or
// redirection anywhere refuses the whole removal ("GUARD_UNSAFE_PATH") with
// nothing deleted. Otherwise the first failure stops it (a file another
// program keeps open, say) and raises the file system's error; what was
// removed by then stays removed. The hold must have every lock (holdUnused
// returned unused); it is released on the way.
void removeDataDirectory(const DataLayout& layout, DataDirectoryHold hold);

}  // namespace zarvo
