// The signed file index as an install judges it, and the plan made from it.
#include "app/core_delta_plan.h"

#include <gtest/gtest.h>

#include <functional>

#include "trust/strict_json.h"

namespace zarvo::test {
namespace {

std::string digestOf(char c) { return std::string(64, c); }

// A core of files a, b, c, d laid out in that order, 1000 bytes each, with an
// archive of 5000 bytes (the last member holds the end blocks).
Json::Value component() {
    Json::Value core(Json::objectValue);
    core["size"] = 5000;
    const char* names[] = {"a", "b", "c", "d"};
    for (int i = 0; i < 4; ++i) {
        core["files"][names[i]] = digestOf(static_cast<char>('0' + i));
        core["fileRanges"][names[i]][0] = i * 1000;
        core["fileRanges"][names[i]][1] = 1000;
    }
    return core;
}

TEST(FileRangeIndex, IsUsableOnlyWhenItMatchesTheFileListAndTheArchive) {
    const struct {
        const char* name;
        std::function<void(Json::Value&)> change;
        const char* unusable;
    } cases[] = {
        {"as packed", [](Json::Value&) {}, ""},
        {"absent", [](Json::Value& c) { c.removeMember("fileRanges"); }, "missing"},
        {"not an object", [](Json::Value& c) { c["fileRanges"] = Json::Value(Json::arrayValue); }, "malformed"},
        {"no archive size", [](Json::Value& c) { c.removeMember("size"); }, "malformed"},
        {"a file missing", [](Json::Value& c) { c["fileRanges"].removeMember("d"); }, "not-the-file-list"},
        {"a file too many", [](Json::Value& c) { c["fileRanges"]["e"] = c["fileRanges"]["d"]; }, "not-the-file-list"},
        {"three numbers", [](Json::Value& c) { c["fileRanges"]["a"].append(1); }, "malformed"},
        {"negative offset", [](Json::Value& c) { c["fileRanges"]["a"][0] = -1; }, "malformed"},
        {"text", [](Json::Value& c) { c["fileRanges"]["a"][1] = "1000"; }, "malformed"},
        {"empty member", [](Json::Value& c) { c["fileRanges"]["a"][1] = 0; }, "malformed"},
        {"past the end", [](Json::Value& c) { c["fileRanges"]["d"][1] = 2001; }, "outside-the-archive"},
        {"beyond any size", [](Json::Value& c) { c["fileRanges"]["d"][1] = Json::UInt64(-1); }, "outside-the-archive"},
        {"overlapping", [](Json::Value& c) { c["fileRanges"]["b"][0] = 999; }, "overlapping"},
        {"the same member twice", [](Json::Value& c) { c["fileRanges"]["b"] = c["fileRanges"]["a"]; }, "overlapping"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value descriptor = component();
        c.change(descriptor);
        const FileRangeIndex index = ReleaseComponent(descriptor).fileRanges();
        EXPECT_EQ(index.unusable, c.unusable);
        EXPECT_EQ(index.ranges.size(), index.usable() ? 4u : 0u);
    }
}

TEST(DeltaPlan, CarriesKnownDigestsAndMergesNearbyRanges) {
    Json::Value descriptor = component();
    CarrySource installed;
    installed.coreFolder = "/installed/core";
    installed.locks = std::make_shared<ComponentLocks>();
    // b under another name, and d: both carried; a and c fetched.
    installed.files["moved/b"] = digestOf('1');
    installed.files["d"] = digestOf('3');
    installed.files["gone"] = digestOf('x');
    const ReleaseComponent core(descriptor);
    DeltaPlan plan = planDelta(core.files(), core.fileRanges(), 5000, {installed});
    ASSERT_EQ(plan.carried.size(), 2u);
    EXPECT_EQ(plan.carried[0].name, "b");
    EXPECT_EQ(plan.carried[0].source, std::filesystem::path("/installed/core/moved/b"));
    EXPECT_TRUE(plan.carried[0].locked);
    // a and c lie 1000 bytes apart: one request from a's start to c's end.
    ASSERT_EQ(plan.requests.size(), 1u);
    EXPECT_EQ(plan.requests[0].offset, 0u);
    EXPECT_EQ(plan.requests[0].length, 3000u);
    EXPECT_EQ(plan.requests[0].members.size(), 2u);
    EXPECT_EQ(plan.bytes, 3000u);
    EXPECT_EQ(plan.refusal, "");  // 3000 of 5000 is 60 %, not above it

    // Far apart: two requests.
    descriptor["size"] = 1000000;
    descriptor["fileRanges"]["c"][0] = 500000;
    descriptor["fileRanges"]["d"][0] = 600000;
    const ReleaseComponent spread(descriptor);
    plan = planDelta(spread.files(), spread.fileRanges(), 1000000, {installed});
    EXPECT_EQ(plan.requests.size(), 2u);
    EXPECT_EQ(plan.bytes, 2000u);
    // Nothing to carry: 4000 of 5000 bytes, more than 60 % of the archive.
    plan = planDelta(core.files(), core.fileRanges(), 5000, {});
    EXPECT_EQ(plan.bytes, 4000u);
    EXPECT_EQ(plan.refusal, "too-many-bytes");
}

TEST(DeltaPlan, RefusesMoreRequestsThanAServerShouldSee) {
    Json::Value descriptor(Json::objectValue);
    const std::uint64_t stride = 200 * 1024;  // gaps too wide to merge
    descriptor["size"] = Json::UInt64(stride * 400);
    for (int i = 0; i < 400; ++i) {
        const std::string name = "f" + std::to_string(1000 + i);
        descriptor["files"][name] = digestOf('a');
        descriptor["fileRanges"][name][0] = Json::UInt64(stride * static_cast<std::uint64_t>(i));
        descriptor["fileRanges"][name][1] = 100;
    }
    const ReleaseComponent core(descriptor);
    ASSERT_TRUE(core.fileRanges().usable());
    const DeltaPlan plan = planDelta(core.files(), core.fileRanges(), stride * 400, {});
    EXPECT_EQ(plan.requests.size(), 400u);
    EXPECT_EQ(plan.refusal, "too-many-requests");
}

}  // namespace
}  // namespace zarvo::test
