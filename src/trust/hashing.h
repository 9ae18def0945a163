// Message digests as lowercase hexadecimal text, Base64 decoding and random
// names. Every failure is a zarvo::Error "LOCAL_ERROR".
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace zarvo {

// Digest of the bytes under "sha256" or "sha1" (exact names, nothing else).
std::string hashBytes(std::string_view bytes, std::string_view algorithm);
// Digest of the file's bytes, read in 64 KiB blocks.
std::string hashFile(const std::filesystem::path& path, std::string_view algorithm);
// Digest of what a handle the caller already holds reads from its current
// position to the end, so the bytes hashed are those of the file the handle
// keeps, whatever its path names now. Raises like hashFile.
std::string hashOpenFile(const platform::FileHandle& file, std::string_view algorithm);
// Only the characters of a digest's text: 0-9 and a-f (an empty text too).
bool isLowerHex(std::string_view text) noexcept;
// Standard Base64 with padding; raises "Некорректная кодировка подписи".
std::string decodeBase64(std::string_view text);
// 16 random bytes as 32 lowercase hexadecimal characters.
std::string randomHexName();

}  // namespace zarvo
