// Whole-file reads with a ceiling and atomic whole-file replacement.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace zarvo {

// Ceiling for every JSON document the program reads.
inline constexpr std::uintmax_t kJsonFileLimit = 16u * 1024u * 1024u;

// The whole regular file (links followed) of at most `ceiling` bytes.
// Raises "LOCAL_ERROR" "Файл отсутствует или превышает допустимый размер: <path>"
// before reading anything, or "Не удалось прочитать файл".
std::string readFileLimited(const std::filesystem::path& path, std::uintmax_t ceiling);
// Writes the bytes to a sibling "<target>.tmp-<random>" and moves it over the
// target. On failure the old target is left whole and no temporary remains.
void writeFileAtomic(const std::filesystem::path& path, std::string_view bytes);

}  // namespace zarvo
