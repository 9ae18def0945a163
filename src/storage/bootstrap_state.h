// bootstrap-state.json: what the pre-starter remembers between runs. This file
// is the only reader and writer of its members. Every writer reads the whole
// object, changes its own members and writes it all back, so members it does
// not know (a newer program's) survive.
#pragma once

#include <json/value.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

namespace zarvo {

// The state of dataDir, or null when the file does not exist. A file that is
// there but unreadable or not strict JSON raises, and is left for the user to repair.
Json::Value readBootstrapState(const std::filesystem::path& dataDir);
// Replaces the state file atomically with the compact form of the state.
void writeBootstrapState(const std::filesystem::path& dataDir, const Json::Value& state);
// Reads the state afresh, lets change alter it (a missing file starts as an
// empty object) and writes it back; returns what was written. Raises "LOCAL_ERROR"
// "Некорректное состояние обновления" when the file holds no object, and the
// file's or the parser's errors.
Json::Value changeBootstrapState(const std::filesystem::path& dataDir,
                                 const std::function<void(Json::Value& state)>& change);

// The state's activeSlot; empty when it is missing or not text, which no slot
// name can be.
std::string activeSlotOf(const Json::Value& state);
// The state's highestSequence, 0 when missing. Raises "LOCAL_ERROR"
// "Некорректное состояние обновления" when the state is no object or the
// member no whole 64-bit number.
long long highestSequenceOf(const Json::Value& state);
// The recorded bootstrapHash; empty when missing or not text.
std::string bootstrapHashOf(const Json::Value& state);

// The slots the state names, for the cleanup that must not guess: a state
// that is not an object, or a slot member that is neither missing, null nor
// text, raises "LOCAL_ERROR" ("Некорректное состояние обновления", with
// ": <member>" for the member). Missing ones are empty.
struct RecordedSlots {
    std::string active;
    std::string previous;
};
RecordedSlots recordedSlotsOf(const Json::Value& state);

// The changes the update flow makes. state must be an object or null (it
// becomes an object).
void recordHighestSequence(Json::Value& state, long long sequence);
// slot becomes activeSlot; the slot active before it, when another one, previousSlot.
void recordActivation(Json::Value& state, const std::string& slot);
void recordBootstrapHash(Json::Value& state, const std::string& hash);

// The digests of the release files the newest accepted release names, so the
// cleanup keeps their partial downloads for a later run to resume. Empty when
// not on record.
std::set<std::string> acceptedDigestsOf(const Json::Value& state);
void recordAcceptedDigests(Json::Value& state, const std::set<std::string>& digests);

// How many runs in a row the launch of slot failed and the previous slot was
// started instead; 0 for any slot but the one on record.
int failedRunsOf(const Json::Value& state, const std::string& slot);
// One more such run of slot; a failure of another slot starts the count anew.
void recordFailedRun(Json::Value& state, const std::string& slot);
// The slot came up: nothing failed on record any more.
void clearFailedRuns(Json::Value& state);

// Hand-overs to a bundle that did not finish ("failedHandOvers": bundle
// sha256 -> count). The old side counts one before it starts the new
// pre-starter, the new side clears the count when it records its hash; only
// the latest bundle is remembered, so a release with another bundle starts
// afresh. A member of another form counts as none.
int failedHandOversOf(const Json::Value& state, const std::string& sha256);
// One more for this bundle; the counts of other bundles are dropped.
void recordHandOverAttempt(Json::Value& state, const std::string& sha256);
// As many as make this bundle skipped from now on: its own files were refused.
void recordHandOverRefused(Json::Value& state, const std::string& sha256);
void clearHandOverAttempts(Json::Value& state);
// How many unfinished hand-overs make the pre-starter leave a bundle alone.
inline constexpr int kHandOverAttemptLimit = 2;

}  // namespace zarvo
