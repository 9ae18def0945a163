// Reading, checking and archiving a folder for pack.
#include "pack_tree.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include "install/safe_path.h"
#include "release_options.h"
#include "trust/digest.h"
#include "trust/error.h"

namespace zarvo::release {
namespace {

namespace fs = std::filesystem;

// The extraction's own entry limit; a tree beyond it could never be installed.
constexpr std::size_t kMaxEntries = 100000;
constexpr std::size_t kBlock = 65536;

struct ArchiveFree {
    void operator()(archive* writer) const noexcept { archive_write_free(writer); }
};
struct EntryFree {
    void operator()(archive_entry* entry) const noexcept { archive_entry_free(entry); }
};

// Names go into JSON and into the archive as UTF-8; anything else would not
// read back as the same name.
bool isUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3 : (lead >> 3) == 0x1e ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

std::string foldAsciiCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

std::string mebibytes(std::uint64_t bytes) { return std::to_string(bytes / (1024 * 1024)) + " MiB"; }

class TreeReader {
public:
    TreeReader(const fs::path& root, const std::string& what, std::uint64_t ceiling)
        : root_(root), what_(what), ceiling_(ceiling) {}

    template <typename Add>
    void readFolder(const fs::path& folder, const std::string& prefix, Add add) {
        std::vector<std::string> names;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            names.push_back(it->path().filename().string());
        }
        if (error) {
            throw ToolError("cannot read '" + folder.string() + "' in the " + what_ + ": " + error.message());
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string relative = prefix + name;
            const fs::path path = folder / name;
            checkName(relative);
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0) {
                throw ToolError("cannot read '" + relative + "' in the " + what_ + ": " + std::strerror(errno));
            }
            const unsigned mode = static_cast<unsigned>(info.st_mode) & 0777u;
            if (S_ISLNK(info.st_mode)) {
                throw ToolError("'" + relative + "' in the " + what_ +
                                " is a symbolic link; a pre-starter refuses links (put the file itself there)");
            }
            if (S_ISDIR(info.st_mode)) {
                add(relative, true, 0, mode);
                readFolder(path, relative + "/", add);
            } else if (S_ISREG(info.st_mode)) {
                total_ += static_cast<std::uint64_t>(info.st_size);
                if (total_ > ceiling_) {
                    throw ToolError("the " + what_ + " holds more than " + mebibytes(ceiling_) +
                                    ", more than a pre-starter unpacks (reached at '" + relative + "')");
                }
                add(relative, false, static_cast<std::uint64_t>(info.st_size), mode);
            } else {
                throw ToolError("'" + relative + "' in the " + what_ +
                                " is a device, FIFO or socket; a pre-starter accepts only folders and regular files");
            }
        }
    }

    std::uint64_t total() const { return total_; }

private:
    void checkName(const std::string& relative) {
        if (!isUtf8(relative)) {
            throw ToolError("the name '" + relative + "' in the " + what_ + " is not UTF-8");
        }
        if (!isSafeRelativePath(relative)) {
            throw ToolError("the name '" + relative + "' in the " + what_ +
                            " is refused by a pre-starter (no \\ : * ? \" < > |, control characters, names ending "
                            "in a dot or a space, device names such as CON or COM1, or paths over 1024 bytes)");
        }
        if (++count_ > kMaxEntries) {
            throw ToolError("the " + what_ + " holds more than 100000 files and folders, more than a pre-starter "
                            "unpacks (reached at '" + relative + "')");
        }
        auto [twin, fresh] = folded_.emplace(foldAsciiCase(relative), relative);
        if (!fresh) {
            throw ToolError("'" + twin->second + "' and '" + relative + "' in the " + what_ +
                            " differ only in letter case; a pre-starter refuses such twins");
        }
    }

    fs::path root_;
    std::string what_;
    std::uint64_t ceiling_;
    std::uint64_t total_ = 0;
    std::size_t count_ = 0;
    std::map<std::string, std::string> folded_;
};

}  // namespace

PackTree PackTree::scan(const fs::path& root, const std::string& what, std::uint64_t ceiling) {
    std::error_code error;
    if (!fs::is_directory(root, error)) {
        throw ToolError("the " + what + " '" + root.string() + "' is not a folder");
    }
    PackTree tree;
    tree.root_ = root;
    tree.what_ = what;
    tree.ceiling_ = ceiling;
    TreeReader reader(root, what, ceiling);
    reader.readFolder(root, "", [&tree](const std::string& name, bool folder, std::uint64_t size, unsigned mode) {
        tree.entries_.push_back(Entry{name, folder, size, mode, {}});
    });
    tree.totalBytes_ = reader.total();
    return tree;
}

std::size_t PackTree::fileCount() const {
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [](const Entry& entry) { return !entry.folder; }));
}

void PackTree::requireEntry(const std::string& entry) const {
    auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.name == entry; });
    if (found == entries_.end()) {
        throw ToolError("the " + what_ + " '" + root_.string() + "' has no '" + entry + "' (its entry)");
    }
    if (found->folder || (found->mode & 0100u) == 0) {
        throw ToolError("the entry '" + entry + "' in the " + what_ +
                        " is not an executable regular file (the pre-starter starts it; 'chmod u+x' it)");
    }
}

void PackTree::replaceFile(const std::string& name, const fs::path& source) {
    auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.name == name; });
    if (found == entries_.end() || found->folder) {
        throw ToolError("the " + what_ + " has no file '" + name + "' to replace");
    }
    std::error_code error;
    const std::uint64_t size = fs::file_size(source, error);
    if (error) {
        throw ToolError("cannot read '" + source.string() + "': " + error.message());
    }
    const std::uint64_t total = totalBytes_ - found->size + size;
    if (total > ceiling_) {
        throw ToolError("the " + what_ + " would hold more than " + mebibytes(ceiling_) + " with '" + name +
                        "' replaced, more than a pre-starter unpacks");
    }
    totalBytes_ = total;
    found->size = size;
    found->source = source;
}

// Streams one file to the sink; its digest is that of exactly the bytes streamed.
std::string PackTree::copyFileInto(const Entry& item, const std::function<void(const char*, std::size_t)>& sink) const {
    std::vector<char> block(kBlock);
    const fs::path source = item.source.empty() ? root_ / item.name : item.source;
    const auto changed = [&] {
        return ToolError("'" + item.name + "' in the " + what_ + " changed while it was packed");
    };
    int file = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (file < 0) {
        throw ToolError("cannot read '" + item.name + "' in the " + what_ + ": " + std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(file, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) != item.size) {
        ::close(file);
        throw changed();
    }
    DigestContext digest = startDigest("sha256");
    std::uint64_t done = 0;
    for (;;) {
        ssize_t count = ::read(file, block.data(), block.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            int error = errno;
            ::close(file);
            throw ToolError("cannot read '" + item.name + "' in the " + what_ + ": " + std::strerror(error));
        }
        if (count == 0) {
            break;
        }
        done += static_cast<std::uint64_t>(count);
        if (done > item.size) {
            ::close(file);
            throw changed();
        }
        feedDigest(digest.get(), std::string_view(block.data(), static_cast<std::size_t>(count)));
        try {
            sink(block.data(), static_cast<std::size_t>(count));
        } catch (...) {
            ::close(file);
            throw;
        }
    }
    ::close(file);
    if (done != item.size) {
        throw changed();
    }
    return finishDigest(digest.get());
}

Json::Value PackTree::writeArchive(const fs::path& path) const {
    std::unique_ptr<archive, ArchiveFree> writer(archive_write_new());
    const auto fail = [&](const std::string& what) {
        const char* reason = writer ? archive_error_string(writer.get()) : nullptr;
        return ToolError("cannot write the archive '" + path.string() + "' " + what +
                         (reason != nullptr ? std::string(": ") + reason : std::string()));
    };
    // Without a time stamp the gzip header, like the tar headers, depends on the contents only.
    if (!writer || archive_write_add_filter_gzip(writer.get()) != ARCHIVE_OK ||
        archive_write_set_filter_option(writer.get(), "gzip", "timestamp", nullptr) != ARCHIVE_OK ||
        archive_write_set_format_pax_restricted(writer.get()) != ARCHIVE_OK ||
        archive_write_open_filename(writer.get(), path.c_str()) != ARCHIVE_OK) {
        throw fail("(set-up)");
    }

    Json::Value files(Json::objectValue);
    for (const Entry& item : entries_) {
        std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
        archive_entry_set_pathname_utf8(entry.get(), item.name.c_str());
        archive_entry_set_filetype(entry.get(), item.folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), item.mode);
        archive_entry_set_size(entry.get(), item.folder ? 0 : static_cast<la_int64_t>(item.size));
        archive_entry_set_mtime(entry.get(), 0, 0);
        archive_entry_set_uid(entry.get(), 0);
        archive_entry_set_gid(entry.get(), 0);
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK) {
            throw fail("at '" + item.name + "'");
        }
        if (item.folder) {
            continue;
        }
        files[item.name] = copyFileInto(item, [&](const char* data, std::size_t size) {
            if (archive_write_data(writer.get(), data, size) != static_cast<la_ssize_t>(size)) {
                throw fail("at '" + item.name + "'");
            }
        });
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        throw fail("(closing)");
    }
    return files;
}

}  // namespace zarvo::release
