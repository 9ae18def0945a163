// On Linux paths are narrow UTF-8 byte strings already.
#include "platform/path_text.h"

namespace zarvo::platform {

std::string pathToUtf8(const std::filesystem::path& path) { return path.string(); }

std::string pathToGenericUtf8(const std::filesystem::path& path) { return path.generic_string(); }

std::filesystem::path pathFromUtf8(const std::string& text) { return std::filesystem::path(text); }

}  // namespace zarvo::platform
