// The process environment.
#pragma once

#include <optional>
#include <string>

namespace zarvo::platform {

// Removes the variable from this process's environment; a name that is not set is no error.
void removeEnvironmentVariable(const std::string& name) noexcept;
// The variable's value when it is set and not empty.
std::optional<std::string> environmentVariable(const std::string& name);

}  // namespace zarvo::platform
