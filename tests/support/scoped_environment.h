// Variables of this process's environment that a test changes, put back as
// they were when the test ends.
#pragma once

#include <initializer_list>
#include <map>
#include <optional>
#include <string>

namespace zarvo::test {

class ScopedEnvironment {
public:
    // Remembers the named variables; they may then be set or unset freely.
    explicit ScopedEnvironment(std::initializer_list<const char*> names);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    static void set(const char* name, const std::string& value);
    static void unset(const char* name);

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace zarvo::test
