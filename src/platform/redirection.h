// Redirections of the file system beyond symbolic links.
#pragma once

#include <filesystem>

namespace zarvo::platform {

// True when the path exists and carries a redirection other than a symbolic
// link (a Windows junction or other reparse point). Linux has no such thing:
// a mount point is not a redirection, so this is always false there.
bool hasRedirectionAttribute(const std::filesystem::path& path) noexcept;

}  // namespace zarvo::platform
