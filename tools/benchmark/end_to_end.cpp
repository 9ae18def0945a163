#include "end_to_end.h"

#include <json/value.h>

#include <iostream>
#include <stdexcept>
#include <string>

#include "nginx_process.h"
#include "trust/hashing.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"
#include "workload.h"

namespace zarvo::benchmark {
namespace {

namespace fs = std::filesystem;


Json::Value artifact(const std::string& url, const fs::path& file) {
    Json::Value value(Json::objectValue);
    value["coreApi"] = 1;
    value["version"] = "1.0.0";
    value["url"] = url;
    value["size"] = Json::UInt64(fs::file_size(file));
    value["sha256"] = hashFile(file, "sha256");
    return value;
}

// The release as a service publishes it: the core archive, the interface
// package and the signed answer, under folders that nginx serves.
void publish(const FileTree& core, const fs::path& coreFolder, const fs::path& www, const std::string& base,
             const fs::path& keys) {
    fs::create_directories(www / "files");
    fs::create_directories(www / "api/v1");
    runOrThrow({"bsdtar", "-czf", (www / "files/core.tar.gz").string(), "-C", coreFolder.string(), "."}, "bsdtar -c");
    writeDataFile(www / "files/ui.rcc", 1 << 20, 9);

    Json::Value manifest(Json::objectValue);
    manifest["type"] = "bootstrap";
    manifest["schemaVersion"] = 1;
    manifest["platform"] = "linux";
    manifest["arch"] = "x86_64";
    manifest["coreApi"] = 1;
    manifest["sequence"] = 1;
    manifest["apiUrl"] = base + "/api";
    manifest["azuriomUrl"] = base + "/site";
    manifest["contentKey"]["scope"] = "content";
    Json::Value coreArtifact = artifact(base + "/files/core.tar.gz", www / "files/core.tar.gz");
    coreArtifact["entry"] = "bin/core";
    coreArtifact["files"] = core.files;
    manifest["components"]["core"] = coreArtifact;
    manifest["components"]["ui"] = artifact(base + "/files/ui.rcc", www / "files/ui.rcc");
    writeFileAtomic(keys / "manifest.json", writeCompactJson(manifest));
    runOrThrow({ZARVO_RELEASE_TOOL_PATH, "keygen", "--secret-key", (keys / "key.json").string(), "--trust",
         (keys / "trust.json").string()},
        "zarvo-release keygen");
    runOrThrow({ZARVO_RELEASE_TOOL_PATH, "sign", "--secret-key", (keys / "key.json").string(), "--payload",
         (keys / "manifest.json").string(), "--out", (www / "api/v1/bootstrap").string()},
        "zarvo-release sign");
}

}  // namespace

std::vector<Row> endToEndRows(int files, std::uint64_t mib, const fs::path& work) {
    std::cerr << "writing a release of " << files << " files, " << mib << " MiB\n";
    const fs::path coreFolder = work / "e2e-core";
    FileTree core = writeFileTree(coreFolder, files - 1, (mib << 20) / static_cast<std::uint64_t>(files));
    fs::create_directories(coreFolder / "bin");
    fs::copy_file(ZARVO_TEST_CORE_PATH, coreFolder / "bin/core");
    core.files["bin/core"] = hashFile(coreFolder / "bin/core", "sha256");
    core.names.push_back("bin/core");
    core.bytes += fs::file_size(coreFolder / "bin/core");

    const fs::path www = work / "e2e-www";
    fs::create_directories(www);
    NginxProcess server(www, work / "e2e-nginx");
    const fs::path keys = work / "e2e-keys";
    fs::create_directories(keys);
    publish(core, coreFolder, www, server.url(""), keys);

    const fs::path data = work / "e2e-data";
    const std::vector<std::string> launcher = {ZARVO_LAUNCHER_PATH, "--headless", "--data-dir", data.string(),
                                               "--service-url", server.url(""), "--allow-loopback-http",
                                               "--code-trust", (keys / "trust.json").string()};
    std::vector<std::string> cold = launcher;
    cold.push_back("--no-launch");

    std::cerr << "installing\n";
    std::vector<Row> rows;
    Row install = makeRow("cold install " + std::to_string(files) + " files", "curl+sha256sum+curl+bsdtar",
                          fs::file_size(www / "files/core.tar.gz"));
    const fs::path fetched = work / "e2e-fetched";
    install.ours = bestOf(3, [&] { fs::remove_all(data); }, [&] { return measureCommand(cold); });
    const std::string chain =
        "curl -sSf -o \"$1/core.tar.gz\" \"$2\" && sha256sum \"$1/core.tar.gz\" && "
        "curl -sSf -o \"$1/ui.rcc\" \"$3\" && mkdir \"$1/out\" && bsdtar -xf \"$1/core.tar.gz\" -C \"$1/out\"";
    install.reference = bestOf(
        3, [&] { fs::remove_all(fetched); fs::create_directories(fetched); },
        [&] {
            return measureCommand({"sh", "-c", chain, "sh", fetched.string(), server.url("/files/core.tar.gz"),
                                   server.url("/files/ui.rcc")});
        });
    rows.push_back(install);
    // The installed slot is flushed to disk before it is published; the chain
    // with the same flush (syncfs of the file system) is the floor.
    Row durable = makeRow("  the same install", "the same; sync -f", install.bytes);
    durable.ours = install.ours;
    durable.reference = bestOf(
        3, [&] { fs::remove_all(fetched); fs::create_directories(fetched); },
        [&] {
            return measureCommand({"sh", "-c", chain + " && sync -f \"$1/out\"", "sh", fetched.string(),
                                   server.url("/files/core.tar.gz"), server.url("/files/ui.rcc")});
        });
    rows.push_back(durable);

    // Once the core has confirmed, the slot is active and every later start is warm.
    std::cerr << "starting\n";
    runOrThrow(launcher, "the first start");
    Row warm = makeRow("warm start " + std::to_string(files) + " files", "openssl dgst -sha256", core.bytes);
    warm.ours = bestOf(3, [] {}, [&] { return measureCommand(launcher); });
    fs::path slot;
    for (const auto& entry : fs::directory_iterator(data / "slots")) {
        slot = entry.path() / "core";
    }
    std::vector<std::string> digest = {"openssl", "dgst", "-sha256"};
    for (const std::string& name : core.names) {
        digest.push_back((slot / name).string());
    }
    warm.reference = bestOf(3, [] {}, [&] { return measureCommand(digest); });
    rows.push_back(warm);

    // Where a warm start's time goes. With --no-launch the run stops once the
    // answer is checked and the slot found installed: start-up and the request,
    // against curl's one request. The digests on both cores, as the run takes
    // them, against two openssl passes over the halves at once; the rest is the
    // core's start and its confirmation.
    const std::string answerUrl = server.url("/api/v1/bootstrap?platform=linux");
    Row unlaunched = makeRow("  the same, --no-launch", "curl answer", core.bytes);
    unlaunched.ours = bestOf(3, [] {}, [&] { return measureCommand(cold); });
    unlaunched.reference =
        bestOf(3, [] {}, [&] { return measureCommand({"curl", "-sSf", "-o", "/dev/null", answerUrl}); });
    rows.push_back(unlaunched);

    std::string halves[2];
    for (std::size_t i = 0; i < core.names.size(); ++i) {
        halves[i % 2] += (slot / core.names[i]).string() + "\n";
    }
    writeFileAtomic(work / "e2e-half-0", halves[0]);
    writeFileAtomic(work / "e2e-half-1", halves[1]);
    Row twoCores = makeRow("  the same start", "openssl dgst, 2 at once", core.bytes);
    twoCores.ours = warm.ours;
    twoCores.reference = bestOf(3, [] {}, [&] {
        return measureCommand({"sh", "-c",
                               "xargs -d '\\n' -a \"$1\" openssl dgst -sha256 >/dev/null & "
                               "xargs -d '\\n' -a \"$2\" openssl dgst -sha256 >/dev/null & wait",
                               "sh", (work / "e2e-half-0").string(), (work / "e2e-half-1").string()});
    });
    rows.push_back(twoCores);
    return rows;
}

}  // namespace zarvo::benchmark
