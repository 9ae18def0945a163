// Command-line parsing of the release tool: one command, then options given
// as "--name value" or "--name=value", and flags given as "--name".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
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
    // "keygen", "sign", "pack", "verify", or "help" (helpTopic: a command or empty).
    std::string command;
    std::string helpTopic;
    std::map<std::string, std::string> options;  // without the leading "--"; flags hold "true"

    // The value of a required option; raises ToolError (usage) when it is absent.
    const std::string& required(const std::string& name) const;
    std::optional<std::string> optional(const std::string& name) const;
    bool flag(const std::string& name) const { return options.count(name) != 0; }
    // A whole decimal number (a leading "-" allowed); raises ToolError (usage).
    std::optional<std::int64_t> integer(const std::string& name) const;
};

// Parses argv after the program name. Only the options known for the command
// are accepted, each at most once; raises ToolError (usage).
Invocation parseInvocation(const std::vector<std::string>& arguments);

// The text printed by --help: the overview, or one command's description.
std::string usageText(const std::string& topic = "");

}  // namespace zarvo::release
