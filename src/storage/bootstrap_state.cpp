#include "storage/bootstrap_state.h"

#include <algorithm>

#include "storage/data_layout.h"
#include "storage/path_kind.h"
#include "trust/error.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

[[noreturn]] void malformed(const std::string& detail = {}) {
    throw Error("LOCAL_ERROR", "Некорректное состояние обновления" + detail);
}

std::string textMember(const Json::Value& state, const char* member) {
    const Json::Value& value = memberOf(state, member);
    return value.isString() ? value.asString() : std::string();
}

std::string recordedSlot(const Json::Value& state, const char* member) {
    const Json::Value& value = memberOf(state, member);
    if (value.isNull()) {
        return {};
    }
    if (!value.isString()) {
        malformed(std::string(": ") + member);
    }
    return value.asString();
}

}  // namespace

Json::Value readBootstrapState(const std::filesystem::path& dataDir) {
    const auto path = DataLayout(dataDir).stateFile();
    // Any kind of file system object counts as present, so a folder in its
    // place is reported instead of silently starting from scratch.
    if (!existsAtAll(path)) {
        return Json::Value();
    }
    return parseStrictJson(readFileLimited(path, kJsonFileLimit));
}

void writeBootstrapState(const std::filesystem::path& dataDir, const Json::Value& state) {
    writeFileAtomic(DataLayout(dataDir).stateFile(), writeCompactJson(state));
}

Json::Value changeBootstrapState(const std::filesystem::path& dataDir,
                                 const std::function<void(Json::Value& state)>& change) {
    Json::Value state = readBootstrapState(dataDir);
    if (state.isNull()) {
        state = Json::Value(Json::objectValue);
    }
    if (!state.isObject()) {
        malformed();
    }
    change(state);
    writeBootstrapState(dataDir, state);
    return state;
}

std::string activeSlotOf(const Json::Value& state) { return textMember(state, "activeSlot"); }

long long highestSequenceOf(const Json::Value& state) {
    auto highest = readInteger(memberOf(state, "highestSequence"));
    if ((!state.isNull() && !state.isObject()) || !highest) {
        malformed();
    }
    return *highest;
}

std::string bootstrapHashOf(const Json::Value& state) { return textMember(state, "bootstrapHash"); }

RecordedSlots recordedSlotsOf(const Json::Value& state) {
    if (!state.isNull() && !state.isObject()) {
        malformed();
    }
    return {recordedSlot(state, "activeSlot"), recordedSlot(state, "previousSlot")};
}

void recordHighestSequence(Json::Value& state, long long sequence) {
    state["highestSequence"] = Json::Int64(sequence);
}

void recordActivation(Json::Value& state, const std::string& slot) {
    const std::string old = activeSlotOf(state);
    if (old != slot) {
        state["previousSlot"] = old;
    }
    state["activeSlot"] = slot;
}

void recordBootstrapHash(Json::Value& state, const std::string& hash) { state["bootstrapHash"] = hash; }

std::set<std::string> acceptedDigestsOf(const Json::Value& state) {
    std::set<std::string> digests;
    const Json::Value& list = memberOf(state, "acceptedDigests");
    if (list.isArray()) {
        for (const Json::Value& digest : list) {
            if (digest.isString()) {
                digests.insert(digest.asString());
            }
        }
    }
    return digests;
}

void recordAcceptedDigests(Json::Value& state, const std::set<std::string>& digests) {
    Json::Value list(Json::arrayValue);
    for (const std::string& digest : digests) {
        list.append(digest);
    }
    state["acceptedDigests"] = list;
}

int failedRunsOf(const Json::Value& state, const std::string& slot) {
    const Json::Value& failed = memberOf(state, "failedSlot");
    if (textMember(failed, "slot") != slot || slot.empty()) {
        return 0;
    }
    const std::optional<Json::Int64> runs = readInteger(memberOf(failed, "runs"));
    return runs && *runs > 0 ? static_cast<int>(std::min<Json::Int64>(*runs, 1000)) : 0;
}

void recordFailedRun(Json::Value& state, const std::string& slot) {
    Json::Value failed(Json::objectValue);
    failed["slot"] = slot;
    failed["runs"] = failedRunsOf(state, slot) + 1;
    state["failedSlot"] = failed;
}

void clearFailedRuns(Json::Value& state) { state.removeMember("failedSlot"); }

namespace {

constexpr const char* kFailedHandOvers = "failedHandOvers";

void setHandOverCount(Json::Value& state, const std::string& sha256, int count) {
    Json::Value counts(Json::objectValue);
    counts[sha256] = count;
    state[kFailedHandOvers] = counts;
}

}  // namespace

int failedHandOversOf(const Json::Value& state, const std::string& sha256) {
    const Json::Value& count = memberOf(memberOf(state, kFailedHandOvers), sha256);
    return count.isInt() && count.asInt() > 0 ? count.asInt() : 0;
}

void recordHandOverAttempt(Json::Value& state, const std::string& sha256) {
    const int count = failedHandOversOf(state, sha256);
    setHandOverCount(state, sha256, count < kHandOverAttemptLimit ? count + 1 : count);
}

void recordHandOverRefused(Json::Value& state, const std::string& sha256) {
    setHandOverCount(state, sha256, std::max(failedHandOversOf(state, sha256), kHandOverAttemptLimit));
}

void clearHandOverAttempts(Json::Value& state) {
    if (state.isObject()) {
        state.removeMember(kFailedHandOvers);
    }
}

}  // namespace zarvo
