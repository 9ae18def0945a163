// Slots holding the stand-in core of tools/test-core, and the script that
// tells it how to behave.
#pragma once

#include <json/value.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/signing.h"

namespace zarvo::test {

// The environment variable through which the stand-in core finds its script.
inline constexpr const char* kTestCoreScriptVariable = "ZARVO_TEST_CORE_SCRIPT";

// The built stand-in core.
std::filesystem::path testCorePath();

// Installs a slot at slotFolder: the stand-in core as core/bin/core, an
// inventory listing it, "ui.rcc", and "manifest.json" signed with key. The
// manifest starts from compatibleManifest(sequence). Returns the stored answer.
Json::Value installTestCoreSlot(const std::filesystem::path& slotFolder, const TestKey& key, long long sequence = 1);

// Every start the stand-in core recorded in the file, oldest first.
std::vector<Json::Value> readCoreRecords(const std::filesystem::path& recordFile);

}  // namespace zarvo::test
