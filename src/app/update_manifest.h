// The documents the update flow lives on: the signed bootstrap answer and its
// manifest, and the names of slots.
#pragma once

#include <json/value.h>

#include <filesystem>
#include <string>

namespace zarvo {

class Bootstrap;

// Opens the signed answer against the run's trust object and checks that the
// manifest fits this program: its rules, a whole-number sequence, and
// components that are objects ("bootstrap" may be missing). Raises the
// envelope's errors, or "LOCAL_ERROR" "Манифест обновления несовместим".
Json::Value readUpdateManifest(const Bootstrap& context, const Json::Value& envelope);
// The same check for a pre-starter of another platform ("linux", "windows"),
// for tools that publish releases for it.
Json::Value readUpdateManifest(const Bootstrap& context, const Json::Value& envelope, const std::string& platformName);
// The answer stored as a slot's manifest.json, parsed but not verified: every
// use goes through readUpdateManifest. Raises the file's or the parser's error.
Json::Value readStoredAnswer(const std::filesystem::path& slotFolder);
// First 24 hex characters of the SHA-256 of the compact answer: any change of
// the answer, even outside the payload, names a new slot.
std::string slotNameFor(const Json::Value& envelope);
// 1 to 80 characters of a-z, 0-9, "-" and "_"; checked before a stored name becomes a folder.
bool isValidSlotName(const std::string& name);

}  // namespace zarvo
