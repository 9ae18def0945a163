// The one routine that starts another program (the core, or the next
// pre-starter during a self-update), and the removal of inherited variables
// that could redirect plug-ins, imports or libraries of what it starts.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/processes.h"

namespace zarvo {

// Starts the executable with the UTF-8 arguments (program name not included),
// in the executable's folder, with this process's environment and no inherited
// handles. The caller owns the returned handle. Raises "LOCAL_ERROR"
// "Не удалось запустить приложение"; nothing has started then. Update thread.
platform::ProcessHandle startProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments);

// How a program that stands in for this one is started.
struct StandInStart {
    // Where relative paths of its command line are resolved: this process's own.
    std::filesystem::path workingFolder;
};
// As startProcess, but in the given working folder and with this process's
// standard streams (and, on POSIX, its session), so that its output and its
// end reach whoever started this one. Same errors.
platform::ProcessHandle startStandIn(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                                     const StandInStart& options);

// Removes the 19 variables from this process's environment, so that neither
// the pre-starter nor anything it starts sees them. Never fails. Call first
// thing in main, before any other thread exists.
void scrubEnvironment() noexcept;

}  // namespace zarvo
