// The text test for relative paths that come from manifests and archives, and
// the join of such a path to a folder the pre-starter owns.
#include "install/safe_path.h"

#include <array>
#include <string>
#include <system_error>

#include "platform/file_entries.h"
#include "platform/files.h"
#include "trust/error.h"

namespace zarvo {
namespace {

constexpr std::size_t maxPathBytes = 1024;
constexpr std::string_view forbiddenBytes("\\:<>\"|?*\0", 9);

// Windows opens a device instead of a file for these names, whatever the
// extension and with blanks before it, so "aux.txt" and "nul .txt" must be
// refused as well as "AUX".
bool isReservedDeviceName(std::string_view segment) {
    std::string base(segment.substr(0, segment.find('.')));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    for (char& c : base) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$") {
        return true;
    }
    if (!base.starts_with("COM") && !base.starts_with("LPT")) {
        return false;
    }
    std::string_view number = std::string_view(base).substr(3);
    if (number.size() == 1) {
        return number[0] >= '1' && number[0] <= '9';
    }
    // Windows counts the superscript digits one to three (U+00B9, U+00B2,
    // U+00B3) as port numbers too.
    return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

bool isSafeSegment(std::string_view segment) {
    if (segment.empty() || segment == "." || segment == "..") {
        return false;
    }
    if (segment.back() == '.' || segment.back() == ' ') {
        return false;
    }
    for (char c : segment) {
        if (static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
    }
    return !isReservedDeviceName(segment);
}

// A junction or other redirection is refused like a link: writing through it
// would leave the root just the same.
bool isLinkOrRedirection(std::filesystem::path path) {
    // With a trailing separator the query would follow a link to a folder.
    if (!path.has_filename() && path.has_relative_path()) {
        path = path.parent_path();
    }
    std::error_code error;
    return platform::entryKind(path, error) == platform::EntryKind::link ||
           platform::hasRedirectionAttribute(path);
}

}  // namespace

bool isSafeRelativePath(std::string_view path) {
    if (path.empty() || path.size() > maxPathBytes) {
        return false;
    }
    if (path.front() == '/' || path.back() == '/') {
        return false;
    }
    if (path.find_first_of(forbiddenBytes) != std::string_view::npos) {
        return false;
    }
    std::size_t start = 0;
    while (true) {
        std::size_t end = path.find('/', start);
        if (!isSafeSegment(path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start))) {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::filesystem::path resolveInstallPath(const std::filesystem::path& root, std::string_view path) {
    if (!isSafeRelativePath(path)) {
        throw Error("UNSAFE_PATH", "Опасный путь в манифесте");
    }
    std::filesystem::path relative;
    try {
        relative = platform::pathFromUtf8(std::string(path));
    } catch (const std::system_error&) {
        // Where paths are UTF-16, a name that is not UTF-8 names no file at all.
        throw Error("UNSAFE_PATH", "Опасный путь в манифесте");
    }
    if (isLinkOrRedirection(root)) {
        throw Error("LOCAL_ERROR", "Символическая ссылка вместо папки установки");
    }
    std::filesystem::path current = root;
    for (const auto& segment : relative) {
        current /= segment;
        if (isLinkOrRedirection(current)) {
            throw Error("UNSAFE_PATH", "Символическая ссылка в папке установки");
        }
    }
    return current;
}

}  // namespace zarvo
