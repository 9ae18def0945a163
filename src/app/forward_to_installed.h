// A pre-starter started from anywhere but its data folder's installed copy
// (a downloaded file, a shortcut, a terminal) hands the run to that copy, so
// that the pre-starter a release installed is the one that runs.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zarvo {

class Bootstrap;

// Reads and removes the mark a forwarding run leaves in its stand-in's
// environment; true in a run that was itself forwarded to. Call first thing in
// main, before any other thread exists.
bool takeForwardedMark();

// When this is a normal run of a program other than "bootstrap/current/<entry>"
// of its data folder, the state's bootstrapHash is the bundle of the active
// slot's stored answer (verified with this run's trust) and "current" matches
// that bundle's file list: starts the installed copy with arguments (this
// program's own, program name excluded) in this working folder, with this
// process's standard streams, waits for it holding no lock, and returns its
// exit code. Otherwise returns nothing, having logged why at Warn when an
// installed copy was expected, and the caller runs the update itself. Never
// raises for std::exception. Main thread, before the update lock and any window.
std::optional<int> forwardToInstalled(const Bootstrap& bootstrap, const std::vector<std::string>& arguments,
                                      bool forwarded);

}  // namespace zarvo
