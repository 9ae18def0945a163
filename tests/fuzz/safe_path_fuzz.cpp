// Relative paths from manifests and archives: an accepted path keeps to the
// rules that hold it inside its root, its join stays inside the root (lexically
// and on disk, where the root holds a link), and a refused path is refused by
// the join too.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz_check.h"
#include "install/safe_path.h"
#include "platform/files.h"

namespace fs = std::filesystem;

namespace {

// Scratch root with a link "link" that leads out of it.
const fs::path& root() {
    static const fs::path folder = [] {
        fs::path path = zarvo::fuzz::scratchFolder() / "root";
        fs::create_directories(path);
        fs::create_directory_symlink(zarvo::fuzz::scratchFolder(), path / "link");
        return path;
    }();
    return folder;
}

bool segmentsStayInside(std::string_view path) {
    if (path.empty() || path.size() > 1024 || path.front() == '/' ||
        path.find_first_of(std::string_view("\\:\0", 3)) != std::string_view::npos) {
        return false;
    }
    for (std::size_t start = 0;;) {
        std::size_t end = path.find('/', start);
        std::string_view segment = path.substr(start, end == std::string_view::npos ? end : end - start);
        if (segment.empty() || segment == "." || segment == "..") {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zarvo;
    std::string_view path(reinterpret_cast<const char*>(data), size);
    bool safe = isSafeRelativePath(path);
    fs::path joined;
    try {
        joined = resolveInstallPath(root(), path);
    } catch (const Error& error) {
        fuzz::requireOwnError(error, {"UNSAFE_PATH"});
        bool throughLink = path == "link" || path.starts_with("link/");
        fuzz::require(!safe || (throughLink && std::string_view(error.what()) == "Символическая ссылка в папке установки"),
                      "a safe path was refused: " + std::string(error.what()));
        return 0;
    }
    fuzz::require(safe, "the join took a path the text test refuses");
    fuzz::require(segmentsStayInside(path), "accepted a path that can leave its root");
    fuzz::require(joined == root() / platform::pathFromUtf8(std::string(path)), "joined elsewhere");
    fs::path relative = joined.lexically_normal().lexically_relative(root());
    fuzz::require(!relative.empty() && *relative.begin() != ".." && *relative.begin() != ".",
                  "the join leaves its root lexically");
    for (fs::path prefix = joined; prefix != root(); prefix = prefix.parent_path()) {
        // A name too long for the file system cannot be there, let alone be a link.
        std::error_code unreadable;
        fuzz::require(!fs::is_symlink(fs::symlink_status(prefix, unreadable)), "the join passes a link");
    }
    return 0;
}
