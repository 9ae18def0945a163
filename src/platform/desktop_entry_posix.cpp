// The per-user desktop file that the desktop's menu prefers over the installed
// one: the same text, with its Exec line naming the program's installed copy.
#include "platform/desktop_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <system_error>

#include "desktop_entry_template.h"
#include "platform/file_handle.h"
#include "platform/file_io.h"
#include "platform/file_replace.h"
#include "platform/user_folders.h"

namespace zarvo::platform {
namespace {

namespace fs = std::filesystem;

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
    if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
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

}  // namespace zarvo::platform
