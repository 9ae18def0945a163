// Command-line parsing of the release tool: one command, then options given
// as "--name value" or "--name=value".
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace zarvo::release {

// A failure reported to the operator in English; exitCode 2 marks a usage mistake.
class ToolError : public std::runtime_error {
public:
    explicit ToolError(const std::string& message, int exitCode = 1)
        : std::runtime_error(message), exitCode_(exitCode) {}
    int exitCode() const noexcept { return exitCode_; }

private:
    int exitCode_;
};

struct Invocation {
    std::string command;  // "keygen", "sign" or "help"
    std::map<std::string, std::string> options;  // without the leading "--"

    // The value of a required option; raises ToolError (usage) when it is absent.
    const std::string& required(const std::string& name) const;
};

// Parses argv after the program name. Only the options in allowed for the
// command are accepted, each at most once; raises ToolError (usage).
Invocation parseInvocation(const std::vector<std::string>& arguments);

// The text printed by --help.
std::string usageText();

}  // namespace zarvo::release
