// Unpacking one file's gzip member cut out of a core archive: the archive's
// refusals, plus the member must hold exactly the file the signed list names.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zarvo {

// Where a member lies inside a file of fetched bytes.
struct MemberSlice {
    std::filesystem::path file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Unpacks the member and writes its one entry to destination, under a private
// sibling name first and moved into place only once it is whole. The member
// must hold exactly one entry: a regular file named name (after the "./" and
// "/" trimming of extractArchive) of at most budget bytes whose SHA-256 is
// expected. Raises zarvo::Error: extractArchive's messages for what it
// refuses, "LOCAL_ERROR" "Повреждённый архив" for another name, a second entry
// or a damaged member, "COMPONENT_CHANGED" "Файлы приложения изменены: " +
// name for other bytes. No private file survives a failure. Returns the bytes
// written. Update thread.
std::uint64_t extractMember(const MemberSlice& member, const std::string& name, const std::string& expected,
                            const std::filesystem::path& destination, std::uint64_t budget);

}  // namespace zarvo
