#include "app/command_line.h"

#include <algorithm>
#include <array>

#include "trust/error.h"

namespace zarvo {
namespace {

constexpr std::array<const char*, 7> kFlags = {
    "--debug", "--headless", "--no-launch", "--no-self-update", "--allow-loopback-http", "--preview", "--preview-error",
};

bool isFlag(const std::string& argument) {
    return std::any_of(kFlags.begin(), kFlags.end(), [&](const char* flag) { return argument == flag; });
}

}  // namespace

bool wantsErrorWindow(const std::vector<std::string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--headless" || arguments[i] == "--self-replace") {
            return false;
        }
    }
    return true;
}

std::map<std::string, std::string> parseOptions(const std::vector<std::string>& arguments) {
    std::map<std::string, std::string> options;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (isFlag(argument)) {
            options[argument] = "true";
        } else if (i + 1 == arguments.size()) {
            throw Error("LOCAL_ERROR", "Missing argument: " + argument);
        } else {
            options[argument] = arguments[i + 1];
            ++i;
        }
    }
    return options;
}

}  // namespace zarvo
