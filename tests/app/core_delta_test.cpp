// Updates by ranges with the built pre-starter and releases packed by the
// release tool: nginx with and without ranges, and a server that lies.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "app/bootstrap.h"
#include "app/core_delta.h"
#include "support/curl_environment.h"
#include "support/launcher_run.h"
#include "support/nginx_server.h"
#include "support/release_fixture.h"
#include "support/scripted_server.h"
#include "support/test_core.h"
#include "trust/hashing.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

// The lines of nginx's access log that asked for this file.
std::vector<std::string> requestsOf(const NginxServer& server, const std::string& file) {
    std::vector<std::string> lines;
    std::ifstream in(server.accessLog());
    for (std::string line; std::getline(in, line);) {
        if (line.find(file) != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string rangeHeader(std::uint64_t offset, std::uint64_t length) {
    return "bytes=" + std::to_string(offset) + "-" + std::to_string(offset + length - 1);
}

class CoreDeltaTest : public ::testing::Test {
protected:
    CoreDeltaTest() {
        // A core of a few dozen files, so that one changed file is a small part.
        for (int i = 0; i < 40; ++i) {
            writeFile(inputs.core / ("data/part-" + std::to_string(i) + ".bin"),
                      std::string(4000 + i * 100, static_cast<char>('a' + i % 26)) + std::to_string(i));
        }
        writeFile(inputs.dir / "core-script.json",
                  R"({"record":")" + (inputs.dir / "core-record").string() + R"("})");
    }

    // Packs the core folder as the next release, its files under filesUrl
    // (nginx's "/files" unless given); returns its core component.
    Json::Value release(const std::string& filesUrl = "") {
        std::vector<std::string> extra;
        if (!filesUrl.empty()) {
            extra = {"--files-url", filesUrl};
        }
        ChildResult packed = inputs.pack(server.url(""), www, extra);
        EXPECT_EQ(packed.exitCode, 0) << packed.standardError;
        return inputs.publishedPayload(www)["components"]["core"];
    }

    ChildResult run(const fs::path& data) const {
        LauncherRun launcher(data, server.url(""), inputs.trust);
        launcher.debug = true;
        launcher.coreScript = inputs.dir / "core-script.json";
        return launcher.run();
    }

    static std::string log(const fs::path& data) { return readFile(data / "logs/bootstrap.log"); }

    // The data folder's active core, as the last start recorded it.
    fs::path startedCore() const {
        const std::vector<Json::Value> starts = readCoreRecords(inputs.dir / "core-record");
        return starts.empty() ? fs::path() : fs::path(starts.back()["cwd"].asString()).parent_path();
    }

    static std::string archiveName(const Json::Value& core) { return "core-" + core["sha256"].asString() + ".tar.gz"; }

    ReleaseInputs inputs;
    fs::path www = inputs.dir / "www";
    fs::path data = inputs.dir / "data";
    NginxServer server{www};
};

TEST_F(CoreDeltaTest, AChangedFileIsTheOnlyMemberFetchedAndTheRestIsCarried) {
    release();
    ChildResult installed = run(data);
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;
    // A first install has nothing to carry from: the whole archive, unpacked as any tar.gz.
    EXPECT_EQ(countOf(log(data), "[INFO] install.whole-archive reason=no-active-slot"), 1u) << log(data);
    const fs::path firstCore = startedCore();

    writeFile(inputs.core / "data/part-7.bin", "changed in release 2");
    const Json::Value second = release();
    const Json::Value& range = second["fileRanges"]["data/part-7.bin"];
    ChildResult updated = run(data);
    ASSERT_EQ(updated.exitCode, 0) << updated.standardError;
    const std::string files = std::to_string(second["files"].size());
    EXPECT_EQ(countOf(log(data), "[INFO] install.delta files=" + files + " carried=" +
                                     std::to_string(second["files"].size() - 1) + " fetched=1 requests=1 bytes=" +
                                     std::to_string(range[1].asUInt64()) + " archive=" +
                                     std::to_string(second["size"].asUInt64())),
              1u)
        << log(data);
    // The server's own record: one request, for exactly that member.
    const std::vector<std::string> asked = requestsOf(server, archiveName(second));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].find(" 206 " + range[1].asString() + " range=\"" +
                            rangeHeader(range[0].asUInt64(), range[1].asUInt64()) + "\""),
              std::string::npos)
        << asked[0];

    // The unchanged interface package is linked from the active slot, not fetched again.
    const std::string uiFile = fs::path(inputs.publishedPayload(www)["components"]["ui"]["url"].asString()).filename();
    EXPECT_EQ(requestsOf(server, uiFile).size(), 1u);
    EXPECT_EQ(countOf(log(data), "[INFO] storage.interface-reused"), 1u);

    const fs::path secondCore = startedCore();
    ASSERT_NE(secondCore, firstCore);
    EXPECT_EQ(readFile(secondCore / "data/part-7.bin"), "changed in release 2");
    EXPECT_TRUE(fs::equivalent(firstCore / "data/part-3.bin", secondCore / "data/part-3.bin"));
    EXPECT_FALSE(fs::exists(secondCore.parent_path() / "fetched"));
    for (const std::string& name : second["files"].getMemberNames()) {
        EXPECT_EQ(hashFile(secondCore / name, "sha256"), second["files"][name].asString()) << name;
    }
}

TEST_F(CoreDeltaTest, WithoutUsableRangesTheWholeArchiveIsInstalled) {
    const Json::Value first = release();
    ASSERT_EQ(first["fileRanges"].getMemberNames(), first["files"].getMemberNames());
    ASSERT_EQ(run(data).exitCode, 0);

    // A server without ranges: its whole-file answer is the download, fetched once.
    NginxServer plain(www, false);
    writeFile(inputs.core / "data/part-1.bin", "release 2");
    const Json::Value second = release(plain.url("/files"));
    ChildResult updated = run(data);
    ASSERT_EQ(updated.exitCode, 0) << updated.standardError;
    EXPECT_EQ(countOf(log(data), "[INFO] install.whole-archive reason=server-without-ranges"), 1u) << log(data);
    EXPECT_EQ(requestsOf(plain, archiveName(second)).size(), 1u);
    EXPECT_EQ(readFile(startedCore() / "data/part-1.bin"), "release 2");

    // A release signed without the index, as older release tools publish it.
    writeFile(inputs.core / "data/part-2.bin", "release 3");
    release();
    Json::Value payload = inputs.publishedPayload(www);
    payload["components"]["core"].removeMember("fileRanges");
    writeFile(inputs.dir / "payload.json", writeCompactJson(payload));
    ChildResult resigned =
        runReleaseTool({"sign", "--secret-key", inputs.secretKey.string(), "--payload",
                        (inputs.dir / "payload.json").string(), "--out", (www / "api/v1/bootstrap/linux.json").string()});
    ASSERT_EQ(resigned.exitCode, 0) << resigned.standardError;
    ASSERT_EQ(run(data).exitCode, 0);
    EXPECT_EQ(countOf(log(data), "[INFO] install.whole-archive reason=file-ranges-missing"), 1u) << log(data);
    EXPECT_EQ(readFile(startedCore() / "data/part-2.bin"), "release 3");

    // An archive already complete in the download cache is used as it is.
    writeFile(inputs.core / "data/part-6.bin", "release 4");
    const Json::Value fourth = release();
    fs::copy_file(www / "files" / archiveName(fourth), data / "downloads" / fourth["sha256"].asString());
    ASSERT_EQ(run(data).exitCode, 0);
    EXPECT_EQ(countOf(log(data), "[INFO] install.whole-archive reason=archive-cached"), 1u) << log(data);
    EXPECT_TRUE(requestsOf(server, archiveName(fourth)).empty());
    EXPECT_EQ(readFile(startedCore() / "data/part-6.bin"), "release 4");
}

// The interface package goes through the download cache, so an interrupted
// download of it resumes where it stopped.
TEST_F(CoreDeltaTest, AnInterruptedInterfacePackageResumes) {
    ScriptedServer files;
    const Json::Value core = release(files.url("/files"));
    const Json::Value ui = inputs.publishedPayload(www)["components"]["ui"];
    const std::string uiPath = "/files/" + fs::path(ui["url"].asString()).filename().string();
    Json::Value whole;
    whole["bodyFile"] = (www / "files" / archiveName(core)).string();
    files.answer("/files/" + archiveName(core), {whole});
    Json::Value cut;
    cut["bodyFile"] = (www / uiPath.substr(1)).string();
    cut["cutAfter"] = 5;
    Json::Value resumed = cut;
    resumed.removeMember("cutAfter");
    resumed["range"] = true;
    files.answer(uiPath, {cut, resumed});

    ChildResult interrupted = run(data);
    EXPECT_EQ(interrupted.exitCode, 1);
    EXPECT_EQ(interrupted.standardError, "Загрузка прервалась. Повторный запуск продолжит её.\n");
    ChildResult finished = run(data);
    ASSERT_EQ(finished.exitCode, 0) << finished.standardError;
    const auto asked = files.requestsFor(uiPath);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].header("Range").value_or(""), "bytes=5-");
    EXPECT_EQ(readFile(startedCore().parent_path() / "ui.rcc"), "interface package");
}

// Killed while a range arrives: the stage stays for the cleanup, and the next
// run builds the slot by ranges from the start.
TEST_F(CoreDeltaTest, KilledDuringADeltaBuildTheNextRunFinishes) {
    release();
    ASSERT_EQ(run(data).exitCode, 0);
    ScriptedServer files;
    writeFile(inputs.core / "data/part-5.bin", std::string(30000, 'k'));
    const Json::Value core = release(files.url("/files"));
    const std::string archivePath = "/files/" + archiveName(core);
    Json::Value slow;
    slow["bodyFile"] = (www / archivePath.substr(1)).string();
    slow["range"] = true;
    slow["trickle"]["chunk"] = 64;
    slow["trickle"]["intervalMs"] = 200;
    files.answer(archivePath, {slow});

    std::atomic<int> pid{0};
    auto killed = std::async(std::launch::async, [&] {
        LauncherRun launcher(data, server.url(""), inputs.trust);
        launcher.coreScript = inputs.dir / "core-script.json";
        launcher.child.onStarted = [&](int started) { pid = started; };
        return launcher.run();
    });
    for (int i = 0; i < 400 && files.requestsFor(archivePath).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(files.requestsFor(archivePath).empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    EXPECT_NE(killed.get().exitCode, 0);
    std::size_t stages = 0;
    for (const auto& entry : fs::directory_iterator(data / "slots")) {
        stages += entry.path().filename().string().find("-stage-") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(stages, 1u);

    slow.removeMember("trickle");
    files.answer(archivePath, {slow});
    ChildResult finished = run(data);
    ASSERT_EQ(finished.exitCode, 0) << finished.standardError << log(data);
    EXPECT_EQ(countOf(log(data), "[INFO] install.delta "), 1u) << log(data);
    EXPECT_EQ(readFile(startedCore() / "data/part-5.bin"), std::string(30000, 'k'));
    for (const auto& entry : fs::directory_iterator(data / "slots")) {
        EXPECT_EQ(entry.path().filename().string().find("-stage-"), std::string::npos) << entry.path();
    }
}

// An active core that fails its check (a stray file, a damaged one) still
// lends the files it holds intact; the damaged one is fetched too.
TEST_F(CoreDeltaTest, AChangedActiveCoreStillLendsItsIntactFiles) {
    release();
    ASSERT_EQ(run(data).exitCode, 0);
    writeFile(startedCore() / "stray.txt", "not listed");
    writeFile(startedCore() / "data/part-2.bin", "damaged");
    writeFile(inputs.core / "data/part-7.bin", "changed in release 2");
    const Json::Value second = release();
    ASSERT_EQ(run(data).exitCode, 0) << log(data);
    EXPECT_EQ(countOf(log(data), "[INFO] install.active-core-changed "), 1u) << log(data);
    EXPECT_EQ(countOf(log(data), "[INFO] install.carry-failed name=data/part-2.bin "), 1u) << log(data);
    EXPECT_EQ(countOf(log(data), "[INFO] install.delta files=" + std::to_string(second["files"].size()) +
                                     " carried=" + std::to_string(second["files"].size() - 2) + " fetched=2 "),
              1u)
        << log(data);
    for (const std::string& name : second["files"].getMemberNames()) {
        EXPECT_EQ(hashFile(startedCore() / name, "sha256"), second["files"][name].asString()) << name;
    }
}

// The repair's use: a slot's own core as an unlocked source, one file of it
// damaged. The intact files are carried, the damaged one fetched by its range.
TEST_F(CoreDeltaTest, ADamagedSourceFileIsFetchedInsteadOfCarried) {
    const Json::Value core = release();
    ASSERT_EQ(run(data).exitCode, 0);
    const fs::path installed = startedCore();
    writeFile(installed / "data/part-11.bin", "damaged");

    Bootstrap context;
    context.dataDir = data;
    context.allowLoopbackHttp = true;
    const fs::path stage = installed.parent_path().string() + "-stage-0123456789abcdef0123456789abcdef";
    fs::create_directories(stage);
    const std::size_t before = requestsOf(server, archiveName(core)).size();
    ASSERT_TRUE(buildCoreByRanges(context, ReleaseComponent(core), stage,
                                  {CarrySource{installed, core["files"], nullptr}}));
    const auto asked = requestsOf(server, archiveName(core));
    ASSERT_EQ(asked.size(), before + 1);
    const Json::Value& range = core["fileRanges"]["data/part-11.bin"];
    EXPECT_NE(asked.back().find(rangeHeader(range[0].asUInt64(), range[1].asUInt64())), std::string::npos);
    for (const std::string& name : core["files"].getMemberNames()) {
        EXPECT_EQ(hashFile(stage / "core" / name, "sha256"), core["files"][name].asString()) << name;
    }
    EXPECT_TRUE(fs::equivalent(stage / "core/data/part-3.bin", installed / "data/part-3.bin"));
    EXPECT_FALSE(fs::exists(stage / "fetched"));
}

// A damaged installed core, repaired by the pre-starter: only the damaged
// file's member is asked for, the rest is carried from the slot itself.
TEST_F(CoreDeltaTest, ARepairFetchesOnlyTheDamagedFilesByTheirRanges) {
    const Json::Value core = release();
    ASSERT_EQ(run(data).exitCode, 0);
    const fs::path installed = startedCore();
    writeFile(installed / "data/part-11.bin", "damaged");
    writeFile(installed / "data/stray.bin", "not listed");
    const std::size_t before = requestsOf(server, archiveName(core)).size();

    ChildResult repaired = run(data);
    ASSERT_EQ(repaired.exitCode, 0) << repaired.standardError << log(data);
    EXPECT_EQ(countOf(log(data), "[WARN] install.repair slot=" + installed.parent_path().filename().string() +
                                     " files=data/part-11.bin,data/stray.bin\n"),
              1u)
        << log(data);
    EXPECT_EQ(countOf(log(data), "[INFO] install.delta files=" + std::to_string(core["files"].size()) +
                                     " carried=" + std::to_string(core["files"].size() - 1) + " fetched=1 requests=1"),
              1u)
        << log(data);
    const auto asked = requestsOf(server, archiveName(core));
    ASSERT_EQ(asked.size(), before + 1);
    const Json::Value& range = core["fileRanges"]["data/part-11.bin"];
    EXPECT_NE(asked.back().find(rangeHeader(range[0].asUInt64(), range[1].asUInt64())), std::string::npos)
        << asked.back();
    for (const std::string& name : core["files"].getMemberNames()) {
        EXPECT_EQ(hashFile(startedCore() / name, "sha256"), core["files"][name].asString()) << name;
    }
    EXPECT_FALSE(fs::exists(startedCore() / "data/stray.bin"));
}

// Each lie of a file server ends in the whole archive from the same server
// within the same run, never in a half-built core.
TEST_F(CoreDeltaTest, AServerThatLiesAboutRangesEndsInTheWholeArchive) {
    release();
    ASSERT_EQ(run(data).exitCode, 0);
    const fs::path installed = inputs.dir / "installed";
    fs::copy(data, installed, fs::copy_options::recursive);
    const std::vector<std::string> oldArchives = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(www / "files")) {
            names.push_back(entry.path().string());
        }
        return names;
    }();

    ScriptedServer liar;
    writeFile(inputs.core / "data/part-9.bin", "changed behind a liar");
    const Json::Value core = release(liar.url("/files"));
    const fs::path archive = www / "files" / archiveName(core);
    const Json::Value& range = core["fileRanges"]["data/part-9.bin"];
    const std::string size = core["size"].asString();
    Json::Value whole;
    whole["bodyFile"] = archive.string();
    const Json::Value ui = inputs.publishedPayload(www)["components"]["ui"];
    Json::Value uiFile;
    uiFile["bodyFile"] = (www / "files" / fs::path(ui["url"].asString()).filename()).string();
    liar.answer("/files/" + fs::path(ui["url"].asString()).filename().string(), {uiFile});

    const auto answer = [&](const std::string& text) {
        Json::Value value = parseStrictJson(text);
        if (!value.isMember("body")) {
            value["bodyFile"] = archive.string();
        }
        return value;
    };
    const std::string end = std::to_string(range[0].asUInt64() + range[1].asUInt64() - 1);
    const struct {
        const char* name;
        std::string lie;
        const char* reason;
    } cases[] = {
        {"416", R"({"status":416,"body":""})", "reason=range-refused detail=status=416"},
        {"multipart", R"({"status":206,"body":"--b\r\nContent-Range: bytes 0-1/2\r\n\r\nab\r\n--b--"})",
         "reason=range-refused detail=content-range"},
        {"short body", R"({"range":true,"cutAfter":5})", "reason=range-refused"},
        {"wrong Content-Range", R"({"range":true,"contentRange":"bytes 0-)" + end + "/" + size + R"("})",
         "reason=range-refused detail=content-range"},
        {"content encoding", R"({"range":true,"headers":[["Content-Encoding","gzip"]]})",
         "reason=range-refused detail=content-encoding"},
        {"another file's bytes",
         R"({"range":true,"contentRange":"bytes )" + range[0].asString() + "-" + end + "/" + size + R"(","headers":[]})",
         "reason=delta-failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(data);
        fs::copy(installed, data, fs::copy_options::recursive);
        Json::Value lie = answer(c.lie);
        if (std::string(c.name) == "another file's bytes") {
            lie["bodyFile"] = oldArchives.front();  // the members of release 1 at those bytes
            for (const std::string& name : oldArchives) {
                if (name.find("/core-") != std::string::npos) {
                    lie["bodyFile"] = name;
                }
            }
        }
        liar.answer("/files/" + archiveName(core), {lie, whole});
        const std::size_t before = liar.requestsFor("/files/" + archiveName(core)).size();
        ChildResult updated = run(data);
        ASSERT_EQ(updated.exitCode, 0) << updated.standardError << log(data);
        EXPECT_EQ(countOf(log(data), "[WARN] install.whole-archive " + std::string(c.reason)), 1u) << log(data);
        const auto asked = liar.requestsFor("/files/" + archiveName(core));
        ASSERT_EQ(asked.size(), before + 2);
        EXPECT_EQ(asked[before].header("Range").value_or(""), rangeHeader(range[0].asUInt64(), range[1].asUInt64()));
        EXPECT_FALSE(asked[before + 1].header("Range").has_value());
        EXPECT_EQ(readFile(startedCore() / "data/part-9.bin"), "changed behind a liar");
    }
}

}  // namespace
}  // namespace zarvo::test
