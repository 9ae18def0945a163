// The only way a relative path from a manifest or an archive is joined to a
// folder the pre-starter owns.
#pragma once

#include <filesystem>
#include <string_view>

namespace zarvo {

// A portable "/"-separated relative path that cannot leave its root. Never raises.
bool isSafeRelativePath(std::string_view path);
// root / path after the text test, refusing a link at the root or on the way.
// Raises "UNSAFE_PATH" or "LOCAL_ERROR"; touches nothing.
std::filesystem::path resolveInstallPath(const std::filesystem::path& root, std::string_view path);

}  // namespace zarvo
