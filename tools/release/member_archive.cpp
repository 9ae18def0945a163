// The core's archive as one gzip member per file, so that a pre-starter can
// fetch the members of changed files by range and still unpack the whole
// archive as an ordinary tar.gz.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "pack_tree.h"
#include "release_options.h"
#include "trust/digest.h"

namespace zarvo::release {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBlock = 65536;

struct ArchiveFree {
    void operator()(archive* writer) const noexcept { archive_write_free(writer); }
};
struct EntryFree {
    void operator()(archive_entry* entry) const noexcept { archive_entry_free(entry); }
};

// Receives the uncompressed tar stream and writes it as consecutive gzip
// members, one started at every cut. zlib's gzip header carries no name and
// time 0, so equal input gives equal bytes.
class MemberWriter {
public:
    explicit MemberWriter(const fs::path& path) : path_(path), out_(std::fopen(path.c_str(), "wb")) {
        if (out_ == nullptr) {
            throw ToolError("cannot write the archive '" + path.string() + "': " + std::strerror(errno));
        }
    }
    ~MemberWriter() {
        if (open_) {
            deflateEnd(&stream_);
        }
        if (out_ != nullptr) {
            std::fclose(out_);
        }
    }
    MemberWriter(const MemberWriter&) = delete;
    MemberWriter& operator=(const MemberWriter&) = delete;

    // Ends the current member (if it holds anything); returns its [offset, length].
    std::pair<std::uint64_t, std::uint64_t> cut() {
        if (!open_) {
            return {offset_, 0};
        }
        pump(Z_FINISH);
        deflateEnd(&stream_);
        open_ = false;
        const std::pair<std::uint64_t, std::uint64_t> member{start_, offset_ - start_};
        return member;
    }

    void write(const void* data, std::size_t size) {
        if (!open_) {
            std::memset(&stream_, 0, sizeof stream_);
            // 15 bits of window plus 16: a gzip wrapper instead of zlib's.
            if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
                throw ToolError("cannot start a gzip member of '" + path_.string() + "'");
            }
            open_ = true;
            start_ = offset_;
        }
        stream_.next_in = static_cast<Bytef*>(const_cast<void*>(data));
        stream_.avail_in = static_cast<uInt>(size);
        pump(Z_NO_FLUSH);
    }

    void close() {
        if (std::fflush(out_) != 0 || ::fsync(::fileno(out_)) != 0 || std::fclose(out_) != 0) {
            out_ = nullptr;
            throw ToolError("cannot write the archive '" + path_.string() + "': " + std::strerror(errno));
        }
        out_ = nullptr;
    }

private:
    void pump(int flush) {
        unsigned char buffer[kBlock];
        int result = Z_OK;
        do {
            stream_.next_out = buffer;
            stream_.avail_out = sizeof buffer;
            result = deflate(&stream_, flush);
            if (result == Z_STREAM_ERROR) {
                throw ToolError("cannot compress '" + path_.string() + "'");
            }
            const std::size_t produced = sizeof buffer - stream_.avail_out;
            if (produced > 0 && std::fwrite(buffer, 1, produced, out_) != produced) {
                throw ToolError("cannot write the archive '" + path_.string() + "': " + std::strerror(errno));
            }
            offset_ += produced;
        } while (stream_.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    }

    fs::path path_;
    std::FILE* out_ = nullptr;
    z_stream stream_{};
    bool open_ = false;
    std::uint64_t start_ = 0;
    std::uint64_t offset_ = 0;
};

la_ssize_t writeToMembers(archive*, void* writer, const void* data, std::size_t size) {
    try {
        static_cast<MemberWriter*>(writer)->write(data, size);
    } catch (const std::exception&) {
        return -1;
    }
    return static_cast<la_ssize_t>(size);
}

}  // namespace

Json::Value PackTree::writeMemberArchive(const fs::path& path, Json::Value& ranges) const {
    MemberWriter members(path);
    std::unique_ptr<archive, ArchiveFree> writer(archive_write_new());
    const auto fail = [&](const std::string& what) {
        const char* reason = writer ? archive_error_string(writer.get()) : nullptr;
        return ToolError("cannot write the archive '" + path.string() + "' " + what +
                         (reason != nullptr ? std::string(": ") + reason : std::string()));
    };
    // No blocking: every header, data block and padding reaches the members at
    // once, so a cut between two entries falls exactly between their bytes.
    if (!writer || archive_write_set_format_pax_restricted(writer.get()) != ARCHIVE_OK ||
        archive_write_set_bytes_per_block(writer.get(), 0) != ARCHIVE_OK ||
        archive_write_open(writer.get(), &members, nullptr, writeToMembers, nullptr) != ARCHIVE_OK) {
        throw fail("(set-up)");
    }

    // Members in the byte order of the names, which is the order of the file
    // list, so neighbouring files of a folder lie side by side.
    std::vector<const Entry*> order;
    for (const Entry& item : entries_) {
        if (!item.folder) {
            order.push_back(&item);
        }
    }
    std::sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) { return a->name < b->name; });

    Json::Value files(Json::objectValue);
    ranges = Json::Value(Json::objectValue);
    std::vector<char> block(kBlock);
    for (const Entry* item : order) {
        std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
        archive_entry_set_pathname_utf8(entry.get(), item->name.c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), item->mode);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item->size));
        archive_entry_set_mtime(entry.get(), 0, 0);
        archive_entry_set_uid(entry.get(), 0);
        archive_entry_set_gid(entry.get(), 0);
        // The member begins with the pax header a long or non-ASCII name brings.
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK) {
            throw fail("at '" + item->name + "'");
        }
        files[item->name] = copyFileInto(*item, [&](const char* data, std::size_t size) {
            if (archive_write_data(writer.get(), data, size) != static_cast<la_ssize_t>(size)) {
                throw fail("at '" + item->name + "'");
            }
        });
        // The padding after the data belongs to this member too.
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) {
            throw fail("at '" + item->name + "'");
        }
        const auto [offset, length] = members.cut();
        Json::Value range(Json::arrayValue);
        range.append(Json::UInt64(offset));
        range.append(Json::UInt64(length));
        ranges[item->name] = range;
    }
    // The two end-of-archive blocks are the last member.
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        throw fail("(closing)");
    }
    members.cut();
    members.close();
    return files;
}

}  // namespace zarvo::release
