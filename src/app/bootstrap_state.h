// bootstrap-state.json: what the pre-starter remembers between runs. Every
// writer reads the whole object, changes its own members and writes it all
// back, so members it does not know survive.
#pragma once

#include <json/value.h>

#include <filesystem>
#include <string>

namespace zarvo {

// The state of dataDir, or null when the file does not exist. A file that is
// there but unreadable or not strict JSON raises, and is left for the user to repair.
Json::Value readBootstrapState(const std::filesystem::path& dataDir);
// The state's activeSlot; empty when it is missing or not text, which no slot
// name can be.
std::string activeSlotOf(const Json::Value& state);
// The state's highestSequence, 0 when missing. Raises "LOCAL_ERROR"
// "Некорректное состояние обновления" when the state is no object or the
// member no whole 64-bit number.
long long highestSequenceOf(const Json::Value& state);
// Replaces the state file atomically with the compact form of the state.
void writeBootstrapState(const std::filesystem::path& dataDir, const Json::Value& state);

}  // namespace zarvo
