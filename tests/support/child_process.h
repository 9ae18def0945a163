// Runs a program to completion and captures what it printed.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zarvo::test {

struct ChildResult {
    int exitCode = -1;  // -1 when ended by a signal
    std::string standardOutput;
    std::string standardError;
};

struct ChildOptions {
    // Extra variables set (or, with nullopt, removed) in the child's environment.
    std::map<std::string, std::optional<std::string>> environment;
    std::filesystem::path workingDirectory;
    std::chrono::seconds timeout{120};
    // Told the child's process id as soon as it exists, on the calling thread.
    std::function<void(int processId)> onStarted;
};

ChildResult runChild(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                     const ChildOptions& options = {});

// The built pre-starter.
std::filesystem::path launcherPath();

}  // namespace zarvo::test
