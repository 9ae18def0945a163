#include "file_ranges_check.h"

#include "install/component_ceilings.h"
#include "install/member_extract.h"
#include "release_common.h"

namespace zarvo::release {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kNamedFaults = 5;

}  // namespace

std::vector<std::string> fileRangeFaults(const ReleaseComponent& core, const fs::path& archive,
                                         const fs::path& scratch) {
    const FileRangeIndex index = core.fileRanges();
    if (!index.usable()) {
        return {"\"fileRanges\" is " + index.unusable + ": pre-starters install the whole archive"};
    }
    std::vector<std::string> faults;
    std::size_t unnamed = 0;
    std::error_code error;
    fs::create_directories(scratch, error);
    const fs::path target = scratch / "member";
    for (const auto& [name, range] : index.ranges) {
        try {
            extractMember(MemberSlice{archive, range.offset, range.length}, name, core.files()[name].asString(),
                          target, kCoreSizeCeiling);
        } catch (const std::exception& failure) {
            if (faults.size() < kNamedFaults) {
                faults.push_back("the range [" + std::to_string(range.offset) + ", " + std::to_string(range.length) +
                                 "] of '" + name + "' does not unpack to that file: " + explain(failure));
            } else {
                ++unnamed;
            }
        }
        fs::remove(target, error);
    }
    if (unnamed > 0) {
        faults.push_back("and " + std::to_string(unnamed) + " more ranges");
    }
    return faults;
}

}  // namespace zarvo::release
