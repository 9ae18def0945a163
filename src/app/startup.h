// The pre-starter's start-up: environment, command line, data directory, log,
// trust object and service URL, then the chosen run mode.
#pragma once

namespace zarvo {

// The whole program; returns the exit code (0 or 1).
int runStartup(int argc, char** argv);

}  // namespace zarvo
