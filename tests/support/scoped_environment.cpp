#include "support/scoped_environment.h"

#include <stdlib.h>

namespace zarvo::test {
namespace {

#ifdef _WIN32
// The runtime's own call changes the system's environment block as well;
// an empty value removes the variable.
void setVariable(const char* name, const char* value) { ::_putenv_s(name, value); }
void unsetVariable(const char* name) { ::_putenv_s(name, ""); }
#else
void setVariable(const char* name, const char* value) { ::setenv(name, value, 1); }
void unsetVariable(const char* name) { ::unsetenv(name); }
#endif

}  // namespace

ScopedEnvironment::ScopedEnvironment(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const char* value = ::getenv(name);
        saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            setVariable(name.c_str(), value->c_str());
        } else {
            unsetVariable(name.c_str());
        }
    }
}

void ScopedEnvironment::set(const char* name, const std::string& value) { setVariable(name, value.c_str()); }

void ScopedEnvironment::unset(const char* name) { unsetVariable(name); }

}  // namespace zarvo::test
