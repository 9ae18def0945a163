// A fixture for end-to-end runs of the built pre-starter: a scripted update
// service, release files on nginx, the signing key and trust file, the
// stand-in core's record, and readers of what a run left in the data folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/update_manifest.h"
#include "support/child_process.h"
#include "support/launcher_run.h"
#include "support/nginx_server.h"
#include "support/release_files.h"
#include "support/scripted_server.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "support/test_core.h"
#include "trust/hashing.h"
#include "trust/strict_json.h"

namespace zarvo::test {

inline const std::string kBootstrapPath = "/api/v1/bootstrap";

class ReleaseServiceTest : public ::testing::Test {
protected:
    ReleaseServiceTest() {
        writeFile(dir / "trust.json", writeCompactJson(key.trust()));
        writeFile(dir / "core-script.json", R"({"record":")" + (dir / "core-record").string() + R"("})");
    }

    std::filesystem::path dataDir() const { return dir / "data"; }
    std::filesystem::path slotFolder(const std::string& slot) const { return dataDir() / "slots" / slot; }

    ChildResult run(std::vector<std::string> extra = {}) {
        LauncherRun launcher(dataDir(), server.origin(), dir / "trust.json");
        launcher.debug = true;
        launcher.coreScript = dir / "core-script.json";
        return launcher.run(extra);
    }

    // Serves a release of the stand-in core with its own interface package;
    // returns its slot name.
    std::string serveRelease(long long sequence, const std::string& uiText) {
        Json::Value manifest = compatibleManifest(sequence);
        publishRelease(manifest, releaseDir.path(), files.url(""), "ui-" + std::to_string(sequence) + ".rcc",
                       uiText);
        return serve(manifest);
    }

    // Packs a core of the stand-in program at bin/core and the given files as
    // <name>.tar.gz in the release folder and points the manifest's core at it.
    void publishCore(Json::Value& manifest, const std::string& name,
                     const std::map<std::string, std::string>& extraFiles) {
        const auto tree = releaseDir / (name + "-tree");
        std::filesystem::create_directories(tree / "bin");
        std::filesystem::copy_file(testCorePath(), tree / "bin/core", std::filesystem::copy_options::overwrite_existing);
        Json::Value& core = manifest["components"]["core"];
        core["files"] = Json::Value(Json::objectValue);
        core["files"]["bin/core"] = hashFile(tree / "bin/core", "sha256");
        std::vector<std::string> arguments = {"-czf", (releaseDir / (name + ".tar.gz")).string(), "-C", tree.string(),
                                              "bin"};
        for (const auto& [path, text] : extraFiles) {
            writeFile(tree / path, text);
            core["files"][path] = hashFile(tree / path, "sha256");
            arguments.push_back(path);
        }
        ASSERT_EQ(runChild("/bin/tar", arguments).exitCode, 0);
        core["url"] = files.url("/" + name + ".tar.gz");
        core["sha256"] = hashFile(releaseDir / (name + ".tar.gz"), "sha256");
        core["entry"] = "bin/core";
    }

    std::string serve(const Json::Value& manifest) {
        Json::Value answer = key.sign(manifest);
        server.answer(kBootstrapPath, {jsonAnswer(200, writeCompactJson(answer))});
        return slotNameFor(answer);
    }

    Json::Value state() { return parseStrictJson(readFile(dataDir() / "bootstrap-state.json")); }
    std::string log() { return readFile(dataDir() / "logs" / "bootstrap.log"); }
    std::size_t coreStarts() {
        return std::filesystem::exists(dir / "core-record") ? readCoreRecords(dir / "core-record").size() : 0;
    }

    TempDir dir;
    TestKey key;
    ScriptedServer server;
    TempDir releaseDir;
    NginxServer files{releaseDir.path()};
};

}  // namespace zarvo::test
