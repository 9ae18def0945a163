// User settings on Windows: the APPDATA and LOCALAPPDATA variables, the
// runtime's UTF-8 locale where it has one, and the client-area animation
// switch of SystemParametersInfoW.
#include "platform/user_settings.h"

#include <clocale>

#include "platform/files_win32.h"
#include "platform/processes.h"

#ifndef SPI_GETCLIENTAREAANIMATION
#define SPI_GETCLIENTAREAANIMATION 0x1042
#endif

namespace zarvo::platform {

const char* const kPlatformName = "windows";
const char* const kPlatformArch = "x86_64";

namespace {

std::filesystem::path folderNamedBy(const char* variable) {
    // An empty value names no folder; taken as given it would put the data
    // in whatever folder the program was started from.
    auto value = environmentVariable(variable);
    if (!value || value->empty()) {
        throw UserFolderUnavailable(variable);
    }
    return pathFromUtf8(*value);
}

}  // namespace

std::filesystem::path roamingAppDataFolder() { return folderNamedBy("APPDATA"); }

std::filesystem::path localAppDataFolder() { return folderNamedBy("LOCALAPPDATA"); }

bool useUtf8CharacterType() {
    // Older C runtimes (msvcrt) know no UTF-8 locale: the answer is then
    // false, as on a POSIX system without one, and the "C" locale stays.
    if (std::setlocale(LC_CTYPE, ".UTF-8") != nullptr) {
        return true;
    }
    std::setlocale(LC_CTYPE, "C");
    return false;
}

AnimationSetting clientAreaAnimation() {
    BOOL enabled = TRUE;
    if (!::SystemParametersInfoW(SPI_GETCLIENTAREAANIMATION, 0, &enabled, 0)) {
        return AnimationSetting::Unknown;
    }
    return enabled ? AnimationSetting::Enabled : AnimationSetting::Disabled;
}

// Windows has no per-user desktop entry file to point elsewhere; the Start
// menu's shortcut belongs to the installer, so nothing is written.
DesktopEntryUpdate pointDesktopEntryAt(const std::filesystem::path&) { return DesktopEntryUpdate::leftAlone; }

}  // namespace zarvo::platform
