// Archive extraction: libarchive reads, our own checks decide what may be
// written, and every file goes through a handle that never follows a link.
#include "install/archive_extract.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "install/safe_path.h"
#include "log/logger.h"
#include "platform/files.h"
#include "trust/error.h"

namespace zarvo {
namespace {

// Large blocks: fewer reads of the archive and fewer writes per file. The data
// block stays moderate, so an entry that delivers more than it declared meets
// our size check before the decompressor gives its own verdict.
constexpr std::size_t kReadBlock = 1 << 20;
constexpr std::size_t kDataBlock = 256 << 10;
constexpr std::uint64_t kMaxEntries = 100000;

struct ArchiveReadFree {
    void operator()(archive* reader) const noexcept { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveReadFree>;

[[noreturn]] void fail(const char* code, const std::string& message) { throw Error(code, message); }
[[noreturn]] void failCorrupt() { fail("LOCAL_ERROR", "Повреждённый архив"); }
[[noreturn]] void failTooMany() { fail("LOCAL_ERROR", "Архив содержит повторяющиеся пути или слишком много файлов"); }
// The message names the file; the log adds the system's reason (a full disk, say).
// A full disk is told as such, whichever file found it.
void failIfOutOfSpace(const std::exception& reason) {
    const auto* failure = dynamic_cast<const std::system_error*>(&reason);
    if (failure != nullptr && platform::isOutOfSpace(failure->code())) {
        failDiskFull();
    }
}
[[noreturn]] void failCreate(const std::filesystem::path& path, const std::exception& reason) {
    logMessage(LogLevel::Warn, "extract.create-failed path=" + platform::pathToGenericUtf8(path) +
                                   " reason=" + reason.what());
    failIfOutOfSpace(reason);
    fail("EXTRACT_WRITE_FAILED", "Не удалось создать файл при распаковке: " + platform::pathToGenericUtf8(path));
}
[[noreturn]] void failWrite(const std::filesystem::path& path, const std::exception& reason) {
    logMessage(LogLevel::Warn, "extract.write-failed path=" + platform::pathToGenericUtf8(path) +
                                   " reason=" + reason.what());
    failIfOutOfSpace(reason);
    fail("EXTRACT_WRITE_FAILED", "Не удалось записать файл при распаковке: " + platform::pathToGenericUtf8(path));
}

// Leading "./" pairs go (a bare "./" becomes empty), then every trailing "/".
std::string normaliseEntryName(std::string name) {
    while (name.size() > 1 && name.compare(0, 2, "./") == 0) {
        name.erase(0, 2);
    }
    while (!name.empty() && name.back() == '/') {
        name.pop_back();
    }
    return name;
}

// ASCII letters only: the same name must fold alike whatever the locale.
std::string foldAsciiCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

void createFolders(const std::filesystem::path& path) {
    std::error_code error;
    try {
        platform::createPrivateFolders(path);
    } catch (const std::exception& error) {
        failCreate(path, error);
    }
}

class Extraction {
public:
    Extraction(archive* reader, std::filesystem::path destination, std::uint64_t maxTotalBytes)
        : reader_(reader), destination_(std::move(destination)), maxTotalBytes_(maxTotalBytes), block_(kDataBlock) {}

    void run() {
        archive_entry* entry = nullptr;
        int status = ARCHIVE_OK;
        while ((status = archive_read_next_header(reader_, &entry)) == ARCHIVE_OK) {
            extractEntry(entry);
        }
        // A warning (an unconvertible name, a bad checksum) ends the loop too: the
        // archive is not what its publisher built, so nothing of it is trusted further.
        if (status != ARCHIVE_EOF) {
            failCorrupt();
        }
    }

    std::uint64_t entries() const { return entries_; }
    std::uint64_t bytesWritten() const { return bytesWritten_; }

private:
    void extractEntry(archive_entry* entry) {
        const char* rawName = archive_entry_pathname_utf8(entry);
        if (rawName == nullptr) {
            rawName = archive_entry_pathname(entry);
        }
        if (rawName == nullptr) {
            fail("LOCAL_ERROR", "Пустое имя в архиве");
        }
        std::string name = normaliseEntryName(rawName);
        if (name.empty()) {
            return;
        }
        if (!isSafeRelativePath(name)) {
            fail("UNSAFE_ARCHIVE", "Опасный путь в архиве");
        }
        if (++entries_ > kMaxEntries) {
            failTooMany();
        }
        // Two names that one case-insensitive file system would merge are refused
        // everywhere, so an archive unpacks to the same tree on every platform.
        if (!seenNames_.insert(foldAsciiCase(name)).second) {
            failTooMany();
        }
        std::filesystem::path target = resolveInstallPath(destination_, name);

        if (archive_entry_hardlink(entry) != nullptr) {
            fail("LOCAL_ERROR", "Жёсткая ссылка в архиве запрещена");
        }
        auto type = archive_entry_filetype(entry);
        if (type == AE_IFLNK || archive_entry_symlink(entry) != nullptr) {
            fail("LOCAL_ERROR", "Символические ссылки в архиве запрещены");
        }
        if (type == AE_IFDIR) {
            createFolders(target);
        } else if (type == AE_IFREG) {
            extractFile(entry, target);
        } else {
            fail("LOCAL_ERROR", "Архив содержит специальный файл");
        }
    }

    void extractFile(archive_entry* entry, const std::filesystem::path& target) {
        // The declared size is checked against the budget before anything is
        // created, so an oversized entry leaves no trace at all.
        std::int64_t declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
        if (declared < 0 || static_cast<std::uint64_t>(declared) > maxTotalBytes_ - bytesWritten_) {
            fail("LOCAL_ERROR", "Распакованный архив превышает лимит");
        }
        // Archives list a folder's files together; its folders are made once per run of them.
        if (target.parent_path() != lastFolder_) {
            createFolders(target.parent_path());
            lastFolder_ = target.parent_path();
        }
        platform::FileHandle file;
        try {
            file = platform::openFileForReplacing(target);
        } catch (const std::system_error& error) {
            failCreate(target, error);
        }

        std::uint64_t entryBytes = 0;
        for (;;) {
            la_ssize_t count = archive_read_data(reader_, block_.data(), block_.size());
            if (count < 0) {
                failCorrupt();
            }
            if (count == 0) {
                break;
            }
            // Checked on every block, so an archive that lies about its sizes is
            // stopped within one block whatever it claims.
            bytesWritten_ += static_cast<std::uint64_t>(count);
            entryBytes += static_cast<std::uint64_t>(count);
            if (bytesWritten_ > maxTotalBytes_ || entryBytes > static_cast<std::uint64_t>(declared)) {
                fail("LOCAL_ERROR", "Архив превышает заявленный размер");
            }
            try {
                platform::writeAll(file, std::string_view(block_.data(), static_cast<std::size_t>(count)));
            } catch (const std::system_error& error) {
                failWrite(target, error);
            }
        }
        if (entryBytes != static_cast<std::uint64_t>(declared)) {
            failCorrupt();
        }
        try {
            platform::setFilePermissions(file, static_cast<unsigned>(archive_entry_perm(entry)) & 0777u);
            // A failing close can be the first report that the data never reached the disk.
            platform::closeFile(file);
        } catch (const std::system_error& error) {
            failWrite(target, error);
        }
    }

    archive* reader_;
    std::filesystem::path destination_;
    std::uint64_t maxTotalBytes_;
    std::vector<char> block_;
    std::uint64_t entries_ = 0;
    std::uint64_t bytesWritten_ = 0;
    std::unordered_set<std::string> seenNames_;
    std::filesystem::path lastFolder_;
};

// libarchive takes a file name in the system's own characters: bytes, or
// wide characters where paths are UTF-16.
[[maybe_unused]] int openArchiveFile(archive* reader, const char* path) { return archive_read_open_filename(reader, path, kReadBlock); }
[[maybe_unused]] int openArchiveFile(archive* reader, const wchar_t* path) {
    return archive_read_open_filename_w(reader, path, kReadBlock);
}

}  // namespace

void extractArchive(const std::filesystem::path& archivePath, const std::filesystem::path& destination,
                    std::uint64_t maxTotalBytes) {
    if (isDebugMode()) {
        logMessage(LogLevel::Debug, "extract.begin " + platform::pathToGenericUtf8(archivePath));
    }
    platform::createPrivateFolders(destination);

    ArchiveReader reader(archive_read_new());
    // Enabling the filters may warn that some are served by external programs; that is no failure.
    if (!reader || archive_read_support_filter_all(reader.get()) < ARCHIVE_WARN ||
        archive_read_support_format_all(reader.get()) < ARCHIVE_WARN ||
        openArchiveFile(reader.get(), archivePath.c_str()) != ARCHIVE_OK) {
        fail("LOCAL_ERROR", "Не удалось открыть архив");
    }

    Extraction extraction(reader.get(), destination, maxTotalBytes);
    extraction.run();

    if (isDebugMode()) {
        logMessage(LogLevel::Debug, "extract.complete files=" + std::to_string(extraction.entries()) +
                                        " bytes=" + std::to_string(extraction.bytesWritten()));
    }
}

}  // namespace zarvo
