// The pre-starter's command-line options.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace zarvo {

// Whether a failure may be shown in a window: false when any argument after
// the program name is "--headless" or "--self-replace". It runs before the
// options are understood, so a value spelled like one of them also counts.
bool wantsErrorWindow(const std::vector<std::string>& arguments);
// Reads the arguments after the program name into name -> value; the seven
// flags get "true", every other word takes the next argument unchanged as its
// value, and a later name replaces an earlier one. Raises "LOCAL_ERROR"
// "Missing argument: <name>" when a name ends the command line.
std::map<std::string, std::string> parseOptions(const std::vector<std::string>& arguments);

}  // namespace zarvo
