// The program's own command line as UTF-8 texts, program name first.
#pragma once

#include <string>
#include <vector>

namespace zarvo::platform {

// On Windows the arguments of main are ignored and the UTF-16 command line is
// split instead; on Linux argv already holds UTF-8 bytes.
std::vector<std::string> commandLineArguments(int argc, char** argv);

}  // namespace zarvo::platform
