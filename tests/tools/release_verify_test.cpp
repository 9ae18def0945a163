// A release packed by the tool and served by a real nginx on loopback: the
// real pre-starter installs it, hands over to its bundle and starts its core;
// verify passes on it and names each fault put into it.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "support/release_fixture.h"
#include "support/launcher_run.h"
#include "support/nginx_server.h"
#include "trust/hashing.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

class VerifyTest : public ::testing::Test {
protected:
    ChildResult verify(const std::string& base, const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> arguments = {"verify", "--trust", inputs.trust.string(), "--service-url", base,
                                              "--allow-loopback-http"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runReleaseTool(arguments);
    }

    // Signs payload with the tool's sign command into the served answer's place.
    void publish(const Json::Value& payload, const fs::path& key) const {
        writeFile(inputs.dir / "payload.json", writeCompactJson(payload));
        ChildResult signedAnswer = runReleaseTool({"sign", "--secret-key", key.string(), "--payload",
                                                   (inputs.dir / "payload.json").string(), "--out",
                                                   (www / "api/v1/bootstrap/linux.json").string()});
        ASSERT_EQ(signedAnswer.exitCode, 0) << signedAnswer.standardError;
    }

    // The core of a release packed from a changed copy of the core folder,
    // its archive served beside the published one.
    Json::Value changedCore(const std::function<void(const fs::path&)>& change) {
        const fs::path copy = inputs.dir / "changed-core";
        const fs::path out = inputs.dir / "changed-www";
        fs::remove_all(copy);
        fs::copy(inputs.core, copy, fs::copy_options::recursive);
        change(copy);
        const fs::path original = inputs.core;
        inputs.core = copy;
        ChildResult packed = inputs.pack(server.url(""), out);
        inputs.core = original;
        EXPECT_EQ(packed.exitCode, 0) << packed.standardError;
        Json::Value core = inputs.publishedPayload(out)["components"]["core"];
        const std::string name = "files/core-" + core["sha256"].asString() + ".tar.gz";
        fs::copy_file(out / name, www / name, fs::copy_options::overwrite_existing);
        return core;
    }

    std::string log() const {
        std::error_code error;
        return fs::exists(dataDir / "logs/bootstrap.log", error) ? readFile(dataDir / "logs/bootstrap.log") : "";
    }

    ReleaseInputs inputs;
    fs::path www = inputs.dir / "www";
    fs::path dataDir = inputs.dir / "data";
    NginxServer server{www};
};

TEST_F(VerifyTest, APackedReleaseIsInstalledByThePreStarterAndPassesVerify) {
    inputs.addBundle();
    ChildResult packed = inputs.pack(server.url(""), www);
    ASSERT_EQ(packed.exitCode, 0) << packed.standardError;

    ChildResult verified = verify(server.url(""));
    EXPECT_EQ(verified.exitCode, 0) << verified.standardOutput << verified.standardError;
    EXPECT_EQ(countOf(verified.standardOutput, "FAIL"), 0u);
    for (const char* check : {"ok    signature:", "ok    core range: 206", "ok    core files: all 2 files",
                              "ok    core ranges: all 2 ranges unpack", "ok    core range request: 206 for bytes=",
                              "ok    ui digest:", "ok    bootstrap unpack:", "ok    bootstrap files: all 1 files",
                              "ok    bootstrap entry:"}) {
        EXPECT_NE(verified.standardOutput.find(check), std::string::npos) << check << "\n" << verified.standardOutput;
    }
    EXPECT_TRUE(verified.standardOutput.ends_with(" checks passed\n")) << verified.standardOutput;
    ChildResult local = runReleaseTool({"verify", "--trust", inputs.trust.string(), "--answer",
                                        (www / "api/v1/bootstrap/linux.json").string(), "--files",
                                        (www / "files").string(), "--allow-loopback-http"});
    EXPECT_EQ(local.exitCode, 0) << local.standardOutput;
    // A release for Windows beside it is fetched and judged by its own name.
    ASSERT_EQ(inputs.pack(server.url(""), www, {"--platform", "windows"}).exitCode, 0);
    ChildResult windows = verify(server.url(""), {"--platform", "windows"});
    EXPECT_EQ(windows.exitCode, 0) << windows.standardOutput;
    EXPECT_NE(windows.standardOutput.find("bootstrap?platform=windows"), std::string::npos) << windows.standardOutput;
    EXPECT_NE(windows.standardOutput.find("ok    manifest: compatible: windows x86_64"), std::string::npos)
        << windows.standardOutput;

    // A bundle without its file list, or with a list that does not fit it, is named.
    const std::string answer = readFile(www / "api/v1/bootstrap/linux.json");
    const Json::Value good = inputs.publishedPayload(www);
    for (const auto& [files, fault] :
         {std::pair{Json::Value(), std::string("FAIL  bootstrap files: the manifest lists no files of the bundle")},
          std::pair{Json::Value(Json::objectValue), std::string("FAIL  bootstrap files: the manifest lists no files")}}) {
        Json::Value payload = good;
        if (files.isNull()) {
            payload["components"]["bootstrap"].removeMember("files");
        } else {
            payload["components"]["bootstrap"]["files"] = files;
        }
        publish(payload, inputs.secretKey);
        ChildResult refused = verify(server.url(""));
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_NE(refused.standardOutput.find(fault), std::string::npos) << refused.standardOutput;
    }
    Json::Value wrong = good;
    wrong["components"]["bootstrap"]["files"]["bin/ZarvoLauncher"] = std::string(64, '0');
    publish(wrong, inputs.secretKey);
    ChildResult differs = verify(server.url(""));
    EXPECT_NE(differs.standardOutput.find("FAIL  bootstrap files: 'bin/ZarvoLauncher' differs from the file list"),
              std::string::npos)
        << differs.standardOutput;
    writeFile(www / "api/v1/bootstrap/linux.json", answer);

    // The pre-starter installs the slot, hands over to the bundle (this build),
    // whose installed copy starts the core.
    writeFile(inputs.dir / "core-script.json", R"({"record":")" + (inputs.dir / "core-record").string() + R"("})");
    ChildOptions options;
    options.environment[kTestCoreScriptVariable] = (inputs.dir / "core-script.json").string();
    options.environment["XDG_DATA_HOME"] = (inputs.dir / "xdg-data").string();
    options.environment["XDG_STATE_HOME"] = (inputs.dir / "xdg-state").string();
    LauncherRun launcher(dataDir, server.url(""), inputs.trust);
    launcher.child = options;
    ChildResult run = launcher.run();
    ASSERT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_TRUE(run.standardOutput.ends_with("Обновление престартера\n")) << run.standardOutput;
    for (int i = 0; i < 600 && countOf(log(), "bootstrap.stage Готово") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(countOf(log(), "bootstrap.stage Готово"), 1u) << log();
    EXPECT_EQ(hashFile(dataDir / "bootstrap/current/bin/ZarvoLauncher", "sha256"), hashFile(launcherPath(), "sha256"));
    const std::vector<Json::Value> starts = readCoreRecords(inputs.dir / "core-record");
    ASSERT_EQ(starts.size(), 1u);
    const fs::path coreFolder = fs::path(starts[0]["cwd"].asString()).parent_path();
    EXPECT_EQ(readFile(coreFolder / "share/readme.txt"), "core data\n");
}

TEST_F(VerifyTest, NamesEachFaultOfAPublishedRelease) {
    ASSERT_EQ(inputs.pack(server.url(""), www).exitCode, 0);
    const Json::Value good = inputs.publishedPayload(www);
    const std::string answer = readFile(www / "api/v1/bootstrap/linux.json");
    ASSERT_EQ(runReleaseTool({"keygen", "--secret-key", (inputs.keys / "other-key.json").string(), "--trust",
                              (inputs.dir / "other-trust.json").string()})
                  .exitCode,
              0);
    NginxServer withoutRange(www, false);
    const auto withCore = [&](const std::function<void(const fs::path&)>& change) {
        Json::Value payload = good;
        const Json::Value core = changedCore(change);
        for (const char* member : {"url", "size", "sha256"}) {
            payload["components"]["core"][member] = core[member];
        }
        publish(payload, inputs.secretKey);
    };

    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> extra;
        std::string fault;
    };
    const std::string coreSize = std::to_string(good["components"]["core"]["size"].asUInt64());
    const std::vector<Case> cases = {
        {"tampered file",
         [&] { withCore([](const fs::path& core) { writeFile(core / "share/readme.txt", "changed\n"); }); },
         {},
         "FAIL  core files: 'share/readme.txt' differs from the file list"},
        {"file missing from the archive",
         [&] { withCore([](const fs::path& core) { fs::remove(core / "share/readme.txt"); }); },
         {},
         "FAIL  core files: 'share/readme.txt' is in the file list but not in the archive"},
        {"file added to the archive",
         [&] { withCore([](const fs::path& core) { writeFile(core / "share/extra.txt", "more"); }); },
         {},
         "FAIL  core files: 'share/extra.txt' is in the archive but not in the file list"},
        {"wrong size",
         [&] {
             Json::Value payload = good;
             payload["components"]["core"]["size"] = good["components"]["core"]["size"].asUInt64() + 1;
             publish(payload, inputs.secretKey);
         },
         {},
         "FAIL  core size: the file has " + coreSize + " bytes, the manifest says "},
        {"wrong digest",
         [&] {
             Json::Value payload = good;
             payload["components"]["core"]["sha256"] = good["components"]["ui"]["sha256"];
             publish(payload, inputs.secretKey);
         },
         {},
         "FAIL  core digest: " + good["components"]["core"]["url"].asString() +
             ": the bytes do not match the manifest's size and sha256 [HASH_MISMATCH"},
        {"range into the middle of a member",
         [&] {
             Json::Value payload = good;
             Json::Value& range = payload["components"]["core"]["fileRanges"]["share/readme.txt"];
             range[0] = range[0].asUInt64() + 1;
             range[1] = range[1].asUInt64() - 1;
             publish(payload, inputs.secretKey);
         },
         {},
         "FAIL  core ranges: the range ["},
        {"another key", [&] { publish(good, inputs.keys / "other-key.json"); }, {},
         "FAIL  signature: not signed by the key of the trust file [SIGNATURE_INVALID"},
        {"lowered sequence", [] {}, {"--min-sequence", "2"}, "FAIL  sequence: 1 is lower than 2"},
        {"incompatible manifest",
         [&] {
             Json::Value payload = good;
             payload["platform"] = "Linux";
             publish(payload, inputs.secretKey);
         },
         {},
         "FAIL  manifest: a pre-starter refuses it (refused: platform)"},
        {"server without Range",
         [&] {
             Json::Value payload = good;
             for (const char* component : {"core", "ui"}) {
                 Json::Value& url = payload["components"][component]["url"];
                 url = withoutRange.url("") + url.asString().substr(server.url("").size());
             }
             publish(payload, inputs.secretKey);
         },
         {},
         "FAIL  core range: the server ignores Range requests (HTTP 200"},
    };
    for (const Case& fault : cases) {
        SCOPED_TRACE(fault.name);
        writeFile(www / "api/v1/bootstrap/linux.json", answer);
        fault.arrange();
        ChildResult verified = verify(server.url(""), fault.extra);
        EXPECT_EQ(verified.exitCode, 1);
        EXPECT_NE(verified.standardOutput.find(fault.fault), std::string::npos) << verified.standardOutput;
        EXPECT_NE(verified.standardOutput.find(" checks failed\n"), std::string::npos);
    }
}

TEST_F(VerifyTest, NamesTheStatusOfAnErrorAnswer) {
    fs::create_directories(www);  // served, but nothing published yet
    ChildResult result = verify(server.url(""));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.standardOutput.find("the server answered HTTP 404 (its body is not JSON)"), std::string::npos)
        << result.standardOutput;
    EXPECT_EQ(result.standardOutput.find("not strict JSON"), std::string::npos) << result.standardOutput;
}

TEST_F(VerifyTest, PackAndVerifyStayAboveTheLiveSequence) {
    ASSERT_EQ(inputs.pack(server.url(""), www, {"--sequence", "7"}).exitCode, 0);
    const std::vector<std::string> after = {"--after", server.url("")};

    // A new folder starts above what is live, not at 1.
    const fs::path fresh = inputs.dir / "fresh";
    ChildResult packed = inputs.pack(server.url(""), fresh, after);
    ASSERT_EQ(packed.exitCode, 0) << packed.standardError;
    EXPECT_EQ(inputs.publishedPayload(fresh)["sequence"].asInt64(), 8);
    std::vector<std::string> explicitLow = after;
    explicitLow.insert(explicitLow.end(), {"--sequence", "7"});
    ChildResult refused = inputs.pack(server.url(""), inputs.dir / "low", explicitLow);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.standardError.find("--sequence 7 is not higher than the live 7"), std::string::npos)
        << refused.standardError;
    EXPECT_FALSE(fs::exists(inputs.dir / "low/api"));
    ChildResult unreachable = inputs.pack(server.url(""), inputs.dir / "low", {"--after", "http://127.0.0.1:9"});
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_NE(unreachable.standardError.find("cannot read the live answer"), std::string::npos)
        << unreachable.standardError;

    // verify reads the live sequence itself.
    auto verifyFolder = [&](const fs::path& folder) {
        std::vector<std::string> arguments = {"verify", "--trust", inputs.trust.string(), "--answer",
                                              (folder / "api/v1/bootstrap/linux.json").string(), "--files",
                                              (folder / "files").string(), "--allow-loopback-http"};
        arguments.insert(arguments.end(), after.begin(), after.end());
        return runReleaseTool(arguments);
    };
    ChildResult above = verifyFolder(fresh);
    EXPECT_EQ(above.exitCode, 0) << above.standardOutput;
    EXPECT_NE(above.standardOutput.find("ok    live: 8 is above the live 7"), std::string::npos) << above.standardOutput;
    ASSERT_EQ(inputs.pack(server.url(""), inputs.dir / "old").exitCode, 0);  // starts at 1
    ChildResult below = verifyFolder(inputs.dir / "old");
    EXPECT_EQ(below.exitCode, 1);
    EXPECT_NE(below.standardOutput.find("FAIL  live: 1 is not above the live 7"), std::string::npos)
        << below.standardOutput;
    ChildResult itself = verify(server.url(""), after);
    EXPECT_EQ(itself.exitCode, 0) << itself.standardOutput;
    EXPECT_NE(itself.standardOutput.find("ok    live: 7, the live answer itself"), std::string::npos)
        << itself.standardOutput;
}

TEST_F(VerifyTest, ReportsTheServiceAndKeyAProgramHasBuiltIn) {
    ASSERT_EQ(inputs.pack(server.url(""), www).exitCode, 0);
    const std::string key = inputs.trustObject()["publicKey"].asString();
    auto program = [&](const std::string& url, const std::string& builtInKey) {
        const fs::path path = inputs.dir / "program";
        writeFile(path, "\x7f" "ELF..zarvo-bootstrap-service-url:" + url + std::string(1, '\0') +
                            "zarvo-bootstrap-trust-key:" + builtInKey + std::string(1, '\0'));
        return std::vector<std::string>{"--program", path.string()};
    };
    ChildResult built = verify(server.url(""), program(server.url("") + "/", key));
    EXPECT_EQ(built.exitCode, 0) << built.standardOutput;
    EXPECT_NE(built.standardOutput.find("ok    program: built in: service URL " + server.url("") + "/, key " + key),
              std::string::npos)
        << built.standardOutput;
    ChildResult example = verify(server.url(""), program("https://updates.zarvolauncher.example", key));
    EXPECT_EQ(example.exitCode, 1);
    EXPECT_NE(example.standardOutput.find("FAIL  program: built in: service URL https://updates.zarvolauncher.example"),
              std::string::npos)
        << example.standardOutput;
    EXPECT_NE(example.standardOutput.find("it asks another service than"), std::string::npos) << example.standardOutput;
    // This build was not made with the freshly made key.
    ChildResult other = verify(server.url(""), {"--program", launcherPath().string()});
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_NE(other.standardOutput.find("; its key is not the trust file's"), std::string::npos)
        << other.standardOutput;
}

}  // namespace
}  // namespace zarvo::test
