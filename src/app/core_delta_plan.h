// Which files of a new core can be carried from installed ones and which
// byte ranges of its archive hold the rest: the plan of a delta install,
// decided before anything is written.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/update_manifest.h"
#include "install/component_inventory.h"

namespace zarvo {

// Files that may be carried into a new core: a core folder and the list
// (relative path -> SHA-256) its files were verified against. With locks (the
// folder's ComponentLocks from that verification), a hard link needs no
// second digest; the builder releases them once the carrying is done, since
// Windows lets no link of a locked file be renamed or removed.
struct CarrySource {
    std::filesystem::path coreFolder;
    Json::Value files;
    std::shared_ptr<ComponentLocks> locks;
};

// Ranges closer than this are fetched as one: a gap costs less than a request.
inline constexpr std::uint64_t kMergeGap = 64 * 1024;
// Beyond these the whole archive is cheaper or kinder to the server.
inline constexpr double kMostOfArchive = 0.6;
inline constexpr std::size_t kMostRequests = 300;

struct DeltaPlan {
    struct Carry {
        std::filesystem::path source;
        std::string name;
        std::string sha256;
        bool locked = false;
    };
    struct Member {
        std::string name;
        std::string sha256;
        FileRange range;
    };
    // One request: a stretch of the archive and the members inside it.
    struct Request {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        std::vector<Member> members;
    };

    std::vector<Carry> carried;
    std::vector<Request> requests;
    std::uint64_t bytes = 0;  // sum of the requests' lengths
    // Empty when the plan is worth following; else "too-many-bytes" or
    // "too-many-requests".
    std::string refusal;
};

// Carries every file whose digest one of the sources lists (same digest, any
// path; the first source wins), fetches the rest by their ranges, merged
// across gaps of at most kMergeGap, and refuses a plan above kMostOfArchive of
// archiveSize or kMostRequests requests. files and index come from the same
// usable component. Never raises but for memory.
DeltaPlan planDelta(const Json::Value& files, const FileRangeIndex& index, std::uint64_t archiveSize,
                    const std::vector<CarrySource>& sources);

}  // namespace zarvo
