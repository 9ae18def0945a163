// Linux has no APPDATA/LOCALAPPDATA: the XDG base folders stand in for them.
#include "platform/user_folders.h"

#include "platform/environment.h"
#include "trust/error.h"

namespace zarvo::platform {
namespace {

std::filesystem::path xdgFolder(const char* variable, const char* homeRelative) {
    if (auto value = environmentVariable(variable)) {
        std::filesystem::path path(*value);
        if (path.is_absolute()) {
            return path;
        }
    }
    if (auto home = environmentVariable("HOME")) {
        return std::filesystem::path(*home) / homeRelative;
    }
    throw Error("LOCAL_ERROR", "HOME is unavailable");
}

}  // namespace

std::filesystem::path roamingAppDataFolder() { return xdgFolder("XDG_DATA_HOME", ".local/share"); }

std::filesystem::path localAppDataFolder() { return xdgFolder("XDG_STATE_HOME", ".local/state"); }

}  // namespace zarvo::platform
