// User settings on Linux: the XDG base folders stand in for APPDATA and
// LOCALAPPDATA, the character type is picked from the UTF-8 locales, and the
// menu entry is a per-user desktop file that the desktop prefers over the installed one.
#include "platform/user_settings.h"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <initializer_list>
#include <sstream>
#include <string>
#include <system_error>

#include "desktop_entry_template.h"
#include "platform/files_posix.h"
#include "platform/processes.h"

namespace zarvo::platform {

const char* const kPlatformName = "linux";
const char* const kPlatformArch = "x86_64";

namespace {

namespace fs = std::filesystem;

fs::path xdgFolder(const char* variable, const char* homeRelative) {
    if (auto value = environmentVariable(variable)) {
        fs::path path(*value);
        if (path.is_absolute()) {
            return path;
        }
    }
    if (auto home = environmentVariable("HOME")) {
        return fs::path(*home) / homeRelative;
    }
    throw UserFolderUnavailable("HOME");
}

bool characterTypeIsUtf8() {
    const char* codeset = ::nl_langinfo(CODESET);
    return codeset != nullptr && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

[[noreturn]] void fail(int error, const std::string& operation) {
    throw std::system_error(error, std::generic_category(), operation);
}

// One argument of an Exec key, quoted: inside double quotes '"', '`', '$' and
// '\' take a backslash, '%' is doubled, and the value as a whole escapes its
// backslashes once more (so a literal '$' is written "\\$").
std::string execValue(const std::string& program) {
    std::string quoted = "\"";
    for (char c : program) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            fail(EINVAL, "desktop entry: control character in " + program);
        }
        if (c == '"' || c == '`' || c == '$') {
            quoted += "\\\\";
        } else if (c == '\\') {
            quoted += "\\\\\\";
        } else if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    return quoted + "\"";
}

std::string entryText(const fs::path& executable) {
    std::istringstream lines(kDesktopEntryTemplate);
    std::string text;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("Exec=")) {
            line = "Exec=" + execValue(executable.string());
        }
        text += line + "\n";
    }
    return text;
}

bool isLink(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// Whether a regular file (not a link) at path holds exactly the expected bytes.
bool readsAs(const fs::path& path, const std::string& expected) {
    FileHandle file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!file.valid() || ::fstat(descriptorOf(file), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) != expected.size()) {
        return false;
    }
    std::string bytes(expected.size(), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t count = readSome(file, bytes.data() + done, bytes.size() - done);
        if (count == 0) {
            return false;
        }
        done += count;
    }
    return bytes == expected;
}

}  // namespace

fs::path roamingAppDataFolder() { return xdgFolder("XDG_DATA_HOME", ".local/share"); }

fs::path localAppDataFolder() { return xdgFolder("XDG_STATE_HOME", ".local/state"); }

bool useUtf8CharacterType() {
    // "C.UTF-8" keeps every rule of the "C" locale but the encoding; the others
    // are for systems that lack it. The user's own locale comes last, and only
    // counts when it is UTF-8 too.
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8", "en_US.utf8", ""}) {
        if (std::setlocale(LC_CTYPE, name) != nullptr && characterTypeIsUtf8()) {
            return true;
        }
    }
    std::setlocale(LC_CTYPE, "C");
    return false;
}

// Linux desktops share no system-wide switch for animations inside windows,
// so the answer is always "unknown" and the window keeps its own setting.
AnimationSetting clientAreaAnimation() { return AnimationSetting::Unknown; }

DesktopEntryUpdate pointDesktopEntryAt(const fs::path& executable) {
    const fs::path folder = roamingAppDataFolder() / "applications";
    const fs::path entry = folder / kDesktopEntryName;
    const std::string text = entryText(executable);
    if (isLink(folder) || isLink(entry)) {
        return DesktopEntryUpdate::leftAlone;
    }
    if (readsAs(entry, text)) {
        return DesktopEntryUpdate::unchanged;
    }
    fs::create_directories(folder);

    const fs::path temporary = folder / ("." + std::string(kDesktopEntryName) + "." + std::to_string(::getpid()));
    // A file of that name can only be left by an earlier process of this id that died.
    ::unlink(temporary.c_str());
    try {
        FileHandle file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!file.valid()) {
            fail(errno, "create " + temporary.string());
        }
        writeAll(file, text);
        closeFile(file);
        replaceFileDurably(temporary, entry);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    return DesktopEntryUpdate::written;
}

EntryRemoval removeDesktopEntryInto(const fs::path& folder) {
    const fs::path entry = roamingAppDataFolder() / "applications" / kDesktopEntryName;
    if (isLink(entry.parent_path()) || isLink(entry)) {
        return EntryRemoval::kept;
    }
    FileHandle file(::open(entry.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) {
        if (errno == ENOENT) {
            return EntryRemoval::absent;
        }
        fail(errno, "open " + entry.string());
    }
    std::string text;
    char buffer[4096];
    for (std::size_t count; (count = readSome(file, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, count);
    }
    // Quoting works character by character, so the quoted folder with its
    // separator begins the quoted path of every program inside it.
    const std::string quotedFolder = execValue((fs::absolute(folder).lexically_normal() / "").string());
    const std::string inside = "\nExec=" + quotedFolder.substr(0, quotedFolder.size() - 1);
    if (("\n" + text).find(inside) == std::string::npos) {
        return EntryRemoval::kept;
    }
    if (::unlink(entry.c_str()) != 0) {
        fail(errno, "remove " + entry.string());
    }
    return EntryRemoval::removed;
}

}  // namespace zarvo::platform
