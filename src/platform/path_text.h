// Conversions between platform paths and the UTF-8 text that messages, logs
// and other processes use.
#pragma once

#include <filesystem>
#include <string>

namespace zarvo::platform {

// The path as UTF-8 in the platform's own separator form.
std::string pathToUtf8(const std::filesystem::path& path);
// The path as UTF-8 with "/" separators, as handed to other processes.
std::string pathToGenericUtf8(const std::filesystem::path& path);
// A platform path from UTF-8 text; "/" is accepted as a separator.
std::filesystem::path pathFromUtf8(const std::string& text);

}  // namespace zarvo::platform
