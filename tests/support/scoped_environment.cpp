#include "support/scoped_environment.h"

#include <stdlib.h>

namespace zarvo::test {

ScopedEnvironment::ScopedEnvironment(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const char* value = ::getenv(name);
        saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

void ScopedEnvironment::set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

void ScopedEnvironment::unset(const char* name) { ::unsetenv(name); }

}  // namespace zarvo::test
