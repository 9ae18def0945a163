// Whole-file reads with a size ceiling, and file replacement through a
// sibling temporary file so that readers never see a partial document.
#include "trust/verified_file.h"

#include <system_error>

#include "platform/file_entries.h"
#include "platform/files.h"
#include "trust/error.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

constexpr std::size_t kReadBlock = 65536;

Error sizeError(const std::filesystem::path& path) {
    return Error("LOCAL_ERROR", messageWithPath("Файл отсутствует или превышает допустимый размер", path));
}

}  // namespace

std::string readFileLimited(const std::filesystem::path& path, std::uintmax_t ceiling) {
    std::error_code failure;
    if (platform::followedEntryKind(path, failure) != platform::EntryKind::file || failure) {
        throw sizeError(path);
    }
    auto size = platform::fileSize(path, failure);
    if (failure || size > ceiling) {
        throw sizeError(path);
    }

    platform::FileHandle file;
    try {
        file = platform::openFileForReading(path);
    } catch (const std::system_error&) {
        throw Error("LOCAL_ERROR", "Не удалось прочитать файл");
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(size));
    std::string block(kReadBlock, '\0');
    for (;;) {
        std::size_t count = 0;
        try {
            count = platform::readSome(file, block.data(), block.size());
        } catch (const std::system_error&) {
            throw Error("LOCAL_ERROR", "Не удалось прочитать файл");
        }
        if (count == 0) {
            return bytes;
        }
        // A file that grows after the size check must not be loaded past the ceiling.
        if (bytes.size() + count > ceiling) {
            throw sizeError(path);
        }
        bytes.append(block.data(), count);
    }
}

void writeFileAtomic(const std::filesystem::path& path, std::string_view bytes) {
    if (path.has_parent_path()) {
        platform::createPrivateFolders(path.parent_path());
    }
    std::filesystem::path temporary = path;
    temporary += ".tmp-" + randomHexName();

    platform::FileHandle file;
    try {
        file = platform::createNewFile(temporary);
    } catch (const std::system_error&) {
        // Nothing was created, so there is nothing to delete.
        throw Error("LOCAL_ERROR", "Не удалось сохранить файл. Проверьте свободное место.");
    }
    try {
        platform::writeAll(file, bytes);
        platform::closeFile(file);
    } catch (const std::system_error&) {
        file.reset();
        platform::removeEntry(temporary);
        throw Error("LOCAL_ERROR", "Не удалось сохранить файл. Проверьте свободное место.");
    }
    try {
        platform::replaceFileDurably(temporary, path);
    } catch (const std::system_error&) {
        platform::removeEntry(temporary);
        throw Error("LOCAL_ERROR", "Не удалось заменить файл");
    }
}

}  // namespace zarvo
