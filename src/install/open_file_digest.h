// The digest of a file read through a handle the caller already holds, so the
// bytes hashed are those of the file that handle keeps, whatever its path names now.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_handle.h"

namespace zarvo {

// Reads the handle from its current position to the end in 64 KiB blocks and
// returns the lowercase hexadecimal digest ("sha256" or "sha1"). Raises
// "LOCAL_ERROR" "Неподдерживаемый алгоритм хеша", "Ошибка чтения при проверке"
// or "Ошибка хеширования".
std::string hashOpenFile(const platform::FileHandle& file, std::string_view algorithm);

}  // namespace zarvo
