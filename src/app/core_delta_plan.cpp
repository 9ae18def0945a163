#include "app/core_delta_plan.h"

#include <algorithm>
#include <map>

#include "platform/files.h"

namespace zarvo {
namespace {

struct Holder {
    const CarrySource* source = nullptr;
    std::string name;
};

// Digest -> a file that holds it, over every source.
std::map<std::string, Holder> holdersByDigest(const std::vector<CarrySource>& sources) {
    std::map<std::string, Holder> holders;
    for (const CarrySource& source : sources) {
        if (!source.files.isObject()) {
            continue;
        }
        for (const std::string& name : source.files.getMemberNames()) {
            const Json::Value& digest = source.files[name];
            if (digest.isString()) {
                holders.emplace(digest.asString(), Holder{&source, name});
            }
        }
    }
    return holders;
}

}  // namespace

DeltaPlan planDelta(const Json::Value& files, const FileRangeIndex& index, std::uint64_t archiveSize,
                    const std::vector<CarrySource>& sources) {
    DeltaPlan plan;
    const auto holders = holdersByDigest(sources);
    std::vector<DeltaPlan::Member> fetched;
    for (const auto& [name, range] : index.ranges) {
        const Json::Value& digest = files[name];
        const std::string sha256 = digest.isString() ? digest.asString() : std::string();
        const auto holder = holders.find(sha256);
        if (holder != holders.end()) {
            const Holder& found = holder->second;
            plan.carried.push_back(DeltaPlan::Carry{found.source->coreFolder / platform::pathFromUtf8(found.name),
                                                    name, sha256, found.source->locks != nullptr});
        } else {
            fetched.push_back(DeltaPlan::Member{name, sha256, range});
        }
    }
    std::sort(fetched.begin(), fetched.end(), [](const DeltaPlan::Member& a, const DeltaPlan::Member& b) {
        return a.range.offset < b.range.offset;
    });
    for (DeltaPlan::Member& member : fetched) {
        const std::uint64_t end = member.range.offset + member.range.length;
        if (!plan.requests.empty()) {
            DeltaPlan::Request& last = plan.requests.back();
            const std::uint64_t lastEnd = last.offset + last.length;
            if (member.range.offset - lastEnd <= kMergeGap) {
                last.length = end - last.offset;
                last.members.push_back(std::move(member));
                continue;
            }
        }
        plan.requests.push_back(DeltaPlan::Request{member.range.offset, member.range.length, {std::move(member)}});
    }
    for (const DeltaPlan::Request& request : plan.requests) {
        plan.bytes += request.length;
    }
    if (static_cast<double>(plan.bytes) > kMostOfArchive * static_cast<double>(archiveSize)) {
        plan.refusal = "too-many-bytes";
    } else if (plan.requests.size() > kMostRequests) {
        plan.refusal = "too-many-requests";
    }
    return plan;
}

}  // namespace zarvo
