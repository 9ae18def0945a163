// What the user's system says about the user: the per-user folders the data
// directory lives under, the character-type locale, the names of this
// platform, the animation setting, and the user's menu entry for the program.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace zarvo::platform {

// --- Per-user folders ---------------------------------------------------------

// Raised when the environment names no per-user folder; variable() is the one
// that is missing ("HOME" on Linux, "APPDATA" or "LOCALAPPDATA" on Windows)
// and what() reads "<variable> is unavailable".
class UserFolderUnavailable : public std::runtime_error {
public:
    explicit UserFolderUnavailable(const std::string& variable)
        : std::runtime_error(variable + " is unavailable"), variable_(variable) {}
    const std::string& variable() const noexcept { return variable_; }

private:
    std::string variable_;
};

// The user's roaming application-data folder (Windows: %APPDATA%; Linux:
// $XDG_DATA_HOME or ~/.local/share). Raises UserFolderUnavailable.
std::filesystem::path roamingAppDataFolder();
// The user's local application-data folder of earlier releases (Windows:
// %LOCALAPPDATA%; Linux: $XDG_STATE_HOME or ~/.local/state). Raises
// UserFolderUnavailable.
std::filesystem::path localAppDataFolder();

// --- Text and names -------------------------------------------------------------

// Switches the process's character type (and nothing else: numbers and messages
// stay in the "C" locale) to UTF-8, which decides how archive entry names and
// other multibyte text are converted. Returns whether a UTF-8 character type
// is now in effect. Call once at start-up, on the main thread, before other
// threads start.
bool useUtf8CharacterType();

// The names this build uses for its operating system and processor, in the
// update request and in the manifest's compatibility check.
extern const char* const kPlatformName;
extern const char* const kPlatformArch;

// --- Desktop --------------------------------------------------------------------

enum class AnimationSetting { Unknown, Enabled, Disabled };

// Whether the user asked the system to turn off animations inside windows;
// Unknown where the system has no such switch.
AnimationSetting clientAreaAnimation();

enum class DesktopEntryUpdate {
    written,    // the entry now starts the executable
    unchanged,  // it already said exactly that
    leftAlone,  // nothing written: a link stands at the entry or its folder, or the system has no such entry
};

// Points the per-user menu entry at executable, so that starting the program
// from the desktop reaches the copy that the self-update installed. Linux: the
// program's desktop file under $XDG_DATA_HOME/applications (or
// ~/.local/share/applications), which takes precedence over the system-wide
// one. Windows: the shortcut "Zarvo Launcher.lnk" in the user's Start menu
// (%APPDATA%\Microsoft\Windows\Start Menu\Programs), working folder the
// executable's. Written atomically. Raises std::system_error, or
// UserFolderUnavailable. Main thread (Windows: it enters COM on that thread).
DesktopEntryUpdate pointDesktopEntryAt(const std::filesystem::path& executable);

enum class EntryRemoval {
    removed,  // it started a program inside the folder and is gone
    absent,   // there was none, or the system has no such entry
    kept,     // it belongs to a program elsewhere, or a link stands in its place
};

// Removes the menu entry that pointDesktopEntryAt writes, but only when the
// program it starts lies inside folder: the menu may belong to another copy.
// Raises std::system_error, or UserFolderUnavailable. Main thread.
EntryRemoval removeDesktopEntryInto(const std::filesystem::path& folder);

}  // namespace zarvo::platform
