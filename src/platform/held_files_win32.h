// Waiting out the moment another program (an antivirus, an indexer) holds a
// file we are renaming, removing or opening with our sharing modes. Used by
// the Win32 implementations only; see reportHeldFilesTo in files.h.
#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>

namespace zarvo::platform {

enum class SharingViolation {
    waitOut,  // another program's brief hold: wait as for the other two errors
    final,    // a lock file: another pre-starter holds it, which is an answer, not a hold
};

// Calls attempt until it returns true, fails with an error that no brief hold
// causes, or about ten seconds have passed in back-off waits. Returns the last
// result, with that attempt's error left in GetLastError. An operation that
// had to wait is reported once, when it ends.
bool waitOutHolds(const char* operation, const std::filesystem::path& path, const std::function<bool()>& attempt,
                  SharingViolation sharing = SharingViolation::waitOut);

}  // namespace zarvo::platform
