// One run of the built pre-starter as the suites start it: its usual options
// against a test service, the stand-in core's script, and the result.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace zarvo::test {

struct LauncherRun {
    LauncherRun() = default;
    LauncherRun(std::filesystem::path dataDir, std::string serviceUrl, std::filesystem::path trustFile)
        : dataDir(std::move(dataDir)), serviceUrl(std::move(serviceUrl)), trustFile(std::move(trustFile)) {}

    std::filesystem::path dataDir;     // "--data-dir" unless empty
    std::string serviceUrl;            // "--service-url" unless empty
    std::filesystem::path trustFile;   // "--code-trust" unless empty
    bool headless = true;              // "--headless"
    bool debug = false;                // "--debug"
    bool allowLoopbackHttp = true;     // "--allow-loopback-http"
    // The stand-in core's script, passed through the pre-starter in the
    // environment; none when empty.
    std::filesystem::path coreScript;
    // Environment, time-out and start notice of the child.
    ChildOptions child;
    // Another program that takes the same options (a copy of the pre-starter).
    std::filesystem::path program;

    // The options above, in this order, then extra.
    std::vector<std::string> arguments(const std::vector<std::string>& extra = {}) const;
    // Runs the program to its end with arguments(extra).
    ChildResult run(const std::vector<std::string>& extra = {}) const;
};

}  // namespace zarvo::test
