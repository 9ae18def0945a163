// One member of a core archive: read through a window on the fetched bytes,
// judged entry by entry with the archive rules, hashed while written.
#include "install/member_extract.h"

#include <archive.h>
#include <archive_entry.h>

#include <fstream>
#include <memory>
#include <system_error>
#include <vector>

#include "install/safe_path.h"
#include "log/logger.h"
#include "platform/file_entries.h"
#include "platform/files.h"
#include "trust/digest.h"
#include "trust/error.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

constexpr std::size_t kBlock = 256 << 10;

struct ArchiveReadFree {
    void operator()(archive* reader) const noexcept { archive_read_free(reader); }
};

[[noreturn]] void failCorrupt() { throw Error("LOCAL_ERROR", "Повреждённый архив"); }

// The member's bytes and nothing around them, so that a neighbour's bytes can
// never be read as part of this file.
struct Window {
    std::ifstream in;
    std::uint64_t left = 0;
    std::vector<char> buffer = std::vector<char>(kBlock);
};

la_ssize_t readWindow(archive*, void* data, const void** block) {
    auto* window = static_cast<Window*>(data);
    const auto want = static_cast<std::streamsize>(std::min<std::uint64_t>(window->left, window->buffer.size()));
    if (want == 0) {
        return 0;
    }
    window->in.read(window->buffer.data(), want);
    if (window->in.gcount() != want) {
        return -1;
    }
    window->left -= static_cast<std::uint64_t>(want);
    *block = window->buffer.data();
    return static_cast<la_ssize_t>(want);
}

std::string entryName(archive_entry* entry) {
    const char* raw = archive_entry_pathname_utf8(entry);
    if (raw == nullptr) {
        raw = archive_entry_pathname(entry);
    }
    if (raw == nullptr) {
        throw Error("LOCAL_ERROR", "Пустое имя в архиве");
    }
    std::string name = raw;
    while (name.size() > 1 && name.compare(0, 2, "./") == 0) {
        name.erase(0, 2);
    }
    while (!name.empty() && name.back() == '/') {
        name.pop_back();
    }
    return name;
}

// The refusals of extractArchive for the one entry a member may hold.
void checkEntry(archive_entry* entry, const std::string& expectedName, std::uint64_t budget) {
    const std::string name = entryName(entry);
    if (!name.empty() && !isSafeRelativePath(name)) {
        throw Error("UNSAFE_ARCHIVE", "Опасный путь в архиве");
    }
    if (archive_entry_hardlink(entry) != nullptr) {
        throw Error("LOCAL_ERROR", "Жёсткая ссылка в архиве запрещена");
    }
    const auto type = archive_entry_filetype(entry);
    if (type == AE_IFLNK || archive_entry_symlink(entry) != nullptr) {
        throw Error("LOCAL_ERROR", "Символические ссылки в архиве запрещены");
    }
    if (type != AE_IFREG && type != AE_IFDIR) {
        throw Error("LOCAL_ERROR", "Архив содержит специальный файл");
    }
    // A folder entry is a second entry in all but name; either way not this file.
    if (type != AE_IFREG || name != expectedName) {
        logMessage(LogLevel::Warn, "extract.member-refused expected=" + expectedName + " found=" + name);
        failCorrupt();
    }
    const std::int64_t declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
    if (declared < 0 || static_cast<std::uint64_t>(declared) > budget) {
        throw Error("LOCAL_ERROR", "Распакованный архив превышает лимит");
    }
}

std::uint64_t writeEntry(archive* reader, archive_entry* entry, const std::filesystem::path& target,
                         std::uint64_t budget, DigestContext& digest) {
    platform::FileHandle file;
    try {
        file = platform::openFileForReplacing(target);
    } catch (const std::system_error& error) {
        logMessage(LogLevel::Warn, std::string("extract.create-failed ") + error.what());
        throw Error("EXTRACT_WRITE_FAILED",
                    "Не удалось создать файл при распаковке: " + platform::pathToGenericUtf8(target));
    }
    const auto declared = static_cast<std::uint64_t>(archive_entry_size(entry));
    std::vector<char> block(kBlock);
    std::uint64_t written = 0;
    for (;;) {
        const la_ssize_t count = archive_read_data(reader, block.data(), block.size());
        if (count < 0) {
            failCorrupt();
        }
        if (count == 0) {
            break;
        }
        written += static_cast<std::uint64_t>(count);
        if (written > declared || written > budget) {
            throw Error("LOCAL_ERROR", "Архив превышает заявленный размер");
        }
        const std::string_view bytes(block.data(), static_cast<std::size_t>(count));
        feedDigest(digest.get(), bytes);
        try {
            platform::writeAll(file, bytes);
        } catch (const std::system_error& error) {
            logMessage(LogLevel::Warn, std::string("extract.write-failed ") + error.what());
            throw Error("EXTRACT_WRITE_FAILED",
                        "Не удалось записать файл при распаковке: " + platform::pathToGenericUtf8(target));
        }
    }
    if (written != declared) {
        failCorrupt();
    }
    try {
        platform::setFilePermissions(file, static_cast<unsigned>(archive_entry_perm(entry)) & 0777u);
        platform::closeFile(file);
    } catch (const std::system_error& error) {
        logMessage(LogLevel::Warn, std::string("extract.write-failed ") + error.what());
        throw Error("EXTRACT_WRITE_FAILED",
                    "Не удалось записать файл при распаковке: " + platform::pathToGenericUtf8(target));
    }
    return written;
}

}  // namespace

std::uint64_t extractMember(const MemberSlice& member, const std::string& name, const std::string& expected,
                            const std::filesystem::path& destination, std::uint64_t budget) {
    Window window;
    window.in.open(member.file, std::ios::binary);
    window.in.seekg(static_cast<std::streamoff>(member.offset));
    window.left = member.length;
    if (!window.in) {
        throw Error("LOCAL_ERROR", "Не удалось открыть архив");
    }
    std::unique_ptr<archive, ArchiveReadFree> reader(archive_read_new());
    if (!reader || archive_read_support_filter_all(reader.get()) < ARCHIVE_WARN ||
        archive_read_support_format_all(reader.get()) < ARCHIVE_WARN ||
        archive_read_open(reader.get(), &window, nullptr, readWindow, nullptr) != ARCHIVE_OK) {
        throw Error("LOCAL_ERROR", "Не удалось открыть архив");
    }
    archive_entry* entry = nullptr;
    if (archive_read_next_header(reader.get(), &entry) != ARCHIVE_OK) {
        failCorrupt();
    }
    checkEntry(entry, name, budget);

    platform::createPrivateFolders(destination.parent_path());
    auto temporary = destination;
    temporary += ".member-" + randomHexName();
    try {
        DigestContext digest = startDigest("sha256");
        const std::uint64_t written = writeEntry(reader.get(), entry, temporary, budget, digest);
        // Exactly one entry: whatever follows must be the member's regular end.
        if (archive_read_next_header(reader.get(), &entry) != ARCHIVE_EOF) {
            logMessage(LogLevel::Warn, "extract.member-refused expected=" + name + " second-entry");
            failCorrupt();
        }
        if (finishDigest(digest.get()) != expected) {
            throw Error("COMPONENT_CHANGED", "Файлы приложения изменены: " + name);
        }
        platform::renameEntry(temporary, destination);
        return written;
    } catch (...) {
        std::error_code ignored;
        platform::removeEntry(temporary, ignored);
        throw;
    }
}

}  // namespace zarvo
