// The failed hand-overs the state remembers: counted per bundle, only the
// latest bundle kept, cleared with the recorded hash, and the rest of the
// state left as it was.
#include "storage/bootstrap_state.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "trust/strict_json.h"

namespace zarvo {
namespace {

const std::string kBundle(64, 'a');
const std::string kOther(64, 'b');

TEST(BootstrapStateTest, FailedHandOversAreCountedPerBundleUpToTheLimit) {
    Json::Value state = parseStrictJson(R"({"activeSlot":"s","future":{"x":1}})");
    EXPECT_EQ(failedHandOversOf(state, kBundle), 0);
    recordHandOverAttempt(state, kBundle);
    EXPECT_EQ(failedHandOversOf(state, kBundle), 1);
    recordHandOverAttempt(state, kBundle);
    recordHandOverAttempt(state, kBundle);
    EXPECT_EQ(failedHandOversOf(state, kBundle), kHandOverAttemptLimit);
    // Another bundle starts afresh; the first one's count is dropped.
    recordHandOverAttempt(state, kOther);
    EXPECT_EQ(failedHandOversOf(state, kOther), 1);
    EXPECT_EQ(failedHandOversOf(state, kBundle), 0);
    recordHandOverRefused(state, kBundle);
    EXPECT_EQ(failedHandOversOf(state, kBundle), kHandOverAttemptLimit);
    clearHandOverAttempts(state);
    EXPECT_EQ(writeCompactJson(state), R"({"activeSlot":"s","future":{"x":1}})");
}

TEST(BootstrapStateTest, AMemberOfAnotherFormCountsAsNone) {
    for (const char* text : {R"({"failedHandOvers":3})", R"({"failedHandOvers":{"aaaa":"2"}})",
                             R"({"failedHandOvers":{"aaaa":-4}})", R"([1])", "null"}) {
        SCOPED_TRACE(text);
        const Json::Value state = parseStrictJson(text);
        EXPECT_EQ(failedHandOversOf(state, "aaaa"), 0);
    }
}

TEST(BootstrapStateTest, TheNewSideClearsTheAttemptsAndKeepsUnknownMembers) {
    test::TempDir dir;
    test::writeFile(dir / "bootstrap-state.json",
                    R"({"failedHandOvers":{")" + kBundle + R"(":1},"highestSequence":4,"zNew":[true]})");
    changeBootstrapState(dir.path(), [](Json::Value& state) {
        recordBootstrapHash(state, kBundle);
        clearHandOverAttempts(state);
    });
    EXPECT_EQ(test::readFile(dir / "bootstrap-state.json"),
              R"({"bootstrapHash":")" + kBundle + R"(","highestSequence":4,"zNew":[true]})");
}

}  // namespace
}  // namespace zarvo
