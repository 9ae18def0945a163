// bootstrap-state.json as another version or a damaged disk may leave it:
// reading it and its members fails only with the program's own errors, and the
// storage cleanup that follows a launch never raises and never removes the
// slots the state names.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "storage/bootstrap_state.h"
#include "fuzz_check.h"
#include "storage/storage_cleanup.h"
#include "trust/strict_json.h"

namespace fs = std::filesystem;

namespace {

// The slots of the scratch data folder; the seed corpus names them.
const std::array<std::string, 3> kSlots = {"0123456789abcdef01234567", "aaaaaaaaaaaaaaaaaaaaaaaa",
                                           "ffffffffffffffffffffffff"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zarvo;
    const fs::path dataDir = fuzz::scratchFolder() / "data";
    for (const std::string& slot : kSlots) {
        fs::create_directories(dataDir / "slots" / slot);
    }
    fuzz::writeScratchFile(dataDir / "bootstrap-state.json", data, size);
    Json::Value state;
    try {
        state = readBootstrapState(dataDir);
    } catch (const Error& error) {
        fuzz::requireOwnError(error, {"INVALID_JSON"});
        return 0;
    }
    std::string active = activeSlotOf(state);
    try {
        highestSequenceOf(state);
    } catch (const Error& error) {
        fuzz::requireOwnError(error, {"LOCAL_ERROR"});
    }

    // The failed hand-overs of any state are a count in range, and counting one
    // more never raises.
    const std::string bundle(64, 'a');
    const int failed = failedHandOversOf(state, bundle);
    fuzz::require(failed >= 0, "a negative count of failed hand-overs");
    if (state.isObject()) {
        Json::Value counted = state;
        recordHandOverAttempt(counted, bundle);
        fuzz::require(failedHandOversOf(counted, bundle) == std::min(failed + 1, kHandOverAttemptLimit) ||
                          failed > kHandOverAttemptLimit,
                      "an attempt was not counted");
    }

    cleanupStorage(dataDir, state);
    const Json::Value& previous = memberOf(state, "previousSlot");
    for (const std::string& slot : kSlots) {
        bool named = slot == active || (previous.isString() && previous.asString() == slot);
        fuzz::require(!named || fs::is_directory(dataDir / "slots" / slot), "the cleanup removed slot " + slot);
        fuzz::require(!active.empty() || fs::is_directory(dataDir / "slots" / slot),
                      "the cleanup removed a slot without an active one on record");
    }
    return 0;
}
