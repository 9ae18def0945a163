// Another program the release tool hands part of its work to (Debian's
// osslsigncode): found on PATH, started without a shell, its words read back
// once it has ended.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zarvo::release {

struct ProgramRun {
    int exitCode = -1;   // -1 when a signal ended it
    std::string output;  // its standard output and error, as they were written
};

// The executable regular file of this name in the first folder of PATH that
// holds one; empty and relative entries of PATH are skipped.
std::optional<std::filesystem::path> findOnPath(const std::string& name);

// Runs the program with these arguments (an argument vector, no shell) and
// waits for it; its output goes through outputFile, which lies in a private
// folder. Raises ToolError when it cannot be started, or when it runs longer
// than timeout (it is ended then).
ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const std::filesystem::path& outputFile, std::chrono::seconds timeout);

}  // namespace zarvo::release
