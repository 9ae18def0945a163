// The core archive's "fileRanges" checked the way a pre-starter uses them:
// every range cut out of the archive unpacks, by the pre-starter's own member
// extraction, to exactly the file of that name with the listed digest.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/update_manifest.h"

namespace zarvo::release {

// What is wrong with the core's ranges against the archive at path, one text
// per fault (at most a few, then a count); empty when a pre-starter can use
// every range. scratch is a private folder it may write into. Never raises but
// for memory.
std::vector<std::string> fileRangeFaults(const ReleaseComponent& core, const std::filesystem::path& archive,
                                         const std::filesystem::path& scratch);

}  // namespace zarvo::release
