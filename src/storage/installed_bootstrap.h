// The installed pre-starter, "bootstrap/current": put back whole when a
// hand-over was cut off between moving it aside and moving its successor in.
#pragma once

#include <filesystem>

namespace zarvo {

// When "bootstrap/current" is missing but a "previous-…" folder is there, moves
// the newest of them back to "current" under "bootstrap.lock" (a busy lock is
// a hand-over at work: nothing is touched). Returns whether it put one back.
// Never raises for std::exception: a failure is a Warn line and the start goes
// on without an installed copy. Main thread, before the update flow.
bool restoreInstalledBootstrap(const std::filesystem::path& dataDir);

}  // namespace zarvo
