// The pre-starter's command-line options, its usage text and its version.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace zarvo {

// Whether a failure may be shown in a window: false when any argument after
// the program name is "--headless" or "--self-replace". It runs before the
// options are understood, so a value spelled like one of them also counts.
bool wantsErrorWindow(const std::vector<std::string>& arguments);
// Reads the arguments after the program name into name -> value; the flags
// (the seven of a run, --help, --version and --uninstall) get "true", every other word
// takes the next argument unchanged as its value, and a later name replaces an
// earlier one. Raises "LOCAL_ERROR" "Missing argument: <name>" when a name
// ends the command line.
std::map<std::string, std::string> parseOptions(const std::vector<std::string>& arguments);

// The names among options that this pre-starter does not read, in byte order.
// They are kept, not refused: a newer pre-starter may hand over options an
// older one does not know.
std::vector<std::string> unknownOptionNames(const std::map<std::string, std::string>& options);
// The one warning line (without a line feed) that names the unknown options.
std::string unknownOptionsWarning(const std::vector<std::string>& names);

// What --help prints: usage, run modes, options and exit codes, in Russian.
std::string usageText();
// This build's version, such as "0.1.0".
const char* programVersion() noexcept;
// The service URL and the trust key built in, read from their records so that
// the records, prefixes included, stay in the program's bytes.
const char* builtInServiceUrl() noexcept;
const char* builtInTrustKey() noexcept;

}  // namespace zarvo
