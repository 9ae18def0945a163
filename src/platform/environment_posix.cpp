// The process environment through the C library; an empty value counts as unset.
#include "platform/environment.h"

#include <cstdlib>

namespace zarvo::platform {

void removeEnvironmentVariable(const std::string& name) noexcept { ::unsetenv(name.c_str()); }

std::optional<std::string> environmentVariable(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace zarvo::platform
