// The inputs of a release as an operator has them (a signing key and a content
// key made by the tool, a core folder holding the stand-in core, an interface
// package, optionally this build as a pre-starter bundle), and the release
// tool run on them as a child process.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_core.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"

namespace zarvo::test {

inline ChildResult runReleaseTool(const std::vector<std::string>& arguments) {
    return runChild(ZARVO_RELEASE_TOOL_PATH, arguments);
}

struct ReleaseInputs {
    ReleaseInputs() {
        std::filesystem::create_directories(keys);
        ::chmod(keys.c_str(), 0700);
        for (const auto& [scope, name] : {std::pair{"code", "release"}, std::pair{"content", "content"}}) {
            ChildResult made = runReleaseTool({"keygen", "--scope", scope, "--secret-key",
                                               (keys / (std::string(name) + "-key.json")).string(), "--trust",
                                               (dir / (std::string(name) + "-trust.json")).string()});
            EXPECT_EQ(made.exitCode, 0) << made.standardError;
        }
        std::filesystem::create_directories(core / "bin");
        std::filesystem::copy_file(testCorePath(), core / "bin/core");
        writeFile(core / "share/readme.txt", "core data\n");
        writeFile(ui, "interface package");
    }

    // This very build as the release's new pre-starter.
    void addBundle() {
        std::filesystem::create_directories(bundle / "bin");
        std::filesystem::copy_file(launcherPath(), bundle / "bin/ZarvoLauncher");
        withBundle = true;
    }

    std::vector<std::string> packArguments(const std::string& base, const std::filesystem::path& out) const {
        std::vector<std::string> arguments = {
            "pack", "--secret-key", secretKey.string(), "--trust", trust.string(), "--core", core.string(),
            "--core-entry", "bin/core", "--core-version", "1.2.3", "--ui", ui.string(), "--api-url", base + "/api",
            "--azuriom-url", base + "/site", "--content-key", (dir / "content-trust.json").string(), "--files-url",
            base + "/files", "--out", out.string(), "--allow-loopback-http"};
        if (withBundle) {
            arguments.insert(arguments.end(),
                             {"--bundle", bundle.string(), "--bundle-entry", "bin/ZarvoLauncher"});
        }
        return arguments;
    }

    // extra holds option-value pairs that replace the usual ones or add to them.
    ChildResult pack(const std::string& base, const std::filesystem::path& out,
                     const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> arguments = packArguments(base, out);
        for (std::size_t i = 0; i + 1 < extra.size(); i += 2) {
            auto known = std::find(arguments.begin(), arguments.end(), extra[i]);
            if (known != arguments.end()) {
                *(known + 1) = extra[i + 1];
            } else {
                arguments.insert(arguments.end(), {extra[i], extra[i + 1]});
            }
        }
        return runReleaseTool(arguments);
    }

    Json::Value trustObject() const { return parseStrictJson(readFile(trust)); }
    // The payload of the answer published in out, opened as a pre-starter opens it.
    Json::Value publishedPayload(const std::filesystem::path& out) const {
        return openSignedEnvelope(parseStrictJson(readFile(out / "api/v1/bootstrap/linux.json")), trustObject(),
                                  "code");
    }

    TempDir dir;
    std::filesystem::path keys = dir / "private";
    std::filesystem::path secretKey = keys / "release-key.json";
    std::filesystem::path trust = dir / "release-trust.json";
    std::filesystem::path core = dir / "core";
    std::filesystem::path bundle = dir / "bundle";
    std::filesystem::path ui = dir / "ui.rcc";
    bool withBundle = false;
};

}  // namespace zarvo::test
