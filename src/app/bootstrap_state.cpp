#include "app/bootstrap_state.h"

#include "trust/error.h"
#include "trust/json_read.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

std::filesystem::path statePath(const std::filesystem::path& dataDir) { return dataDir / "bootstrap-state.json"; }

}  // namespace

Json::Value readBootstrapState(const std::filesystem::path& dataDir) {
    auto path = statePath(dataDir);
    // Any kind of file system object counts as present, so a folder in its
    // place is reported instead of silently starting from scratch.
    if (!std::filesystem::exists(std::filesystem::symlink_status(path))) {
        return Json::Value();
    }
    return parseStrictJson(readFileLimited(path, kJsonFileLimit));
}

std::string activeSlotOf(const Json::Value& state) {
    const Json::Value& slot = memberOf(state, "activeSlot");
    return slot.isString() ? slot.asString() : std::string();
}

long long highestSequenceOf(const Json::Value& state) {
    auto highest = readInteger(memberOf(state, "highestSequence"));
    if ((!state.isNull() && !state.isObject()) || !highest) {
        throw Error("LOCAL_ERROR", "Некорректное состояние обновления");
    }
    return *highest;
}

void writeBootstrapState(const std::filesystem::path& dataDir, const Json::Value& state) {
    writeFileAtomic(statePath(dataDir), writeCompactJson(state));
}

}  // namespace zarvo
