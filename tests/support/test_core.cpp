#include "support/test_core.h"

#include <fstream>

#include "support/temp_dir.h"
#include "trust/hashing.h"
#include "trust/strict_json.h"

namespace zarvo::test {

std::filesystem::path testCorePath() { return ZARVO_TEST_CORE_PATH; }

Json::Value installTestCoreSlot(const std::filesystem::path& slotFolder, const TestKey& key, long long sequence) {
    const auto executable = slotFolder / "core" / "bin" / "core";
    std::filesystem::create_directories(executable.parent_path());
    std::filesystem::copy_file(testCorePath(), executable, std::filesystem::copy_options::overwrite_existing);
    Json::Value manifest = compatibleManifest(sequence);
    manifest["components"]["core"]["files"]["bin/core"] = hashFile(executable, "sha256");
    manifest["components"]["core"]["version"] = "1.4.2";
    manifest["components"]["ui"]["version"] = "2.0.0";
    Json::Value answer = key.sign(manifest);
    writeFile(slotFolder / "manifest.json", writeCompactJson(answer));
    writeFile(slotFolder / "ui.rcc", "ui package");
    return answer;
}

std::vector<Json::Value> readCoreRecords(const std::filesystem::path& recordFile) {
    std::vector<Json::Value> records;
    std::ifstream in(recordFile, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        records.push_back(parseStrictJson(line));
    }
    return records;
}

}  // namespace zarvo::test
