#include "delta_update.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "measure.h"
#include "nginx_process.h"
#include "trust/hashing.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"
#include "workload.h"

namespace zarvo::benchmark {
namespace {

namespace fs = std::filesystem;


// Body bytes nginx sent for core archives from line `lines` on; moves `lines`
// to the end of the log.
std::uint64_t bytesSince(const fs::path& log, std::size_t& lines) {
    std::ifstream in(log);
    std::uint64_t bytes = 0;
    std::size_t line = 0;
    for (std::string text; std::getline(in, text); ++line) {
        if (line >= lines && text.find("/files/core-") != std::string::npos) {
            bytes += std::stoull(text.substr(0, text.find(' ')));
        }
    }
    lines = line;
    return bytes;
}

struct Release {
    fs::path www;
    fs::path keys;
    fs::path core;
    fs::path service;  // served by a second nginx: the answer at api/v1/bootstrap
    std::string base;

    // The benchmark's nginx answers the bootstrap request with one file.
    void serveAnswer() const {
        fs::create_directories(service / "api/v1");
        fs::copy_file(www / "api/v1/bootstrap/linux.json", service / "api/v1/bootstrap",
                      fs::copy_options::overwrite_existing);
    }

    Json::Value pack() const {
        runOrThrow({ZARVO_RELEASE_TOOL_PATH, "pack", "--secret-key", (keys / "key.json").string(), "--trust",
             (keys / "trust.json").string(), "--core", core.string(), "--core-entry", "bin/core", "--ui",
             (keys / "ui.rcc").string(), "--api-url", base + "/api", "--azuriom-url", base + "/site",
             "--content-key", (keys / "content.json").string(), "--files-url", base + "/files", "--out",
             www.string(), "--allow-loopback-http"},
            "zarvo-release pack");
        serveAnswer();
        return parseStrictJson(readFileLimited(www / "manifests/linux.json", 1 << 24));
    }

    // The same release signed without its index: what the whole-archive path installs.
    void withoutRanges(Json::Value payload) const {
        payload["components"]["core"].removeMember("fileRanges");
        writeFileAtomic(keys / "payload.json", writeCompactJson(payload));
        runOrThrow({ZARVO_RELEASE_TOOL_PATH, "sign", "--secret-key", (keys / "key.json").string(), "--payload",
             (keys / "payload.json").string(), "--out", (www / "api/v1/bootstrap/linux.json").string()},
            "zarvo-release sign");
        serveAnswer();
    }
};

struct Scenario {
    std::string name;
    std::size_t changed = 0;
};

}  // namespace

void printDeltaUpdates(int files, std::uint64_t mib, const fs::path& work) {
    std::cerr << "writing a core of " << files << " files, " << mib << " MiB, for the updates\n";
    Release release{work / "delta-www", work / "delta-keys", work / "delta-core", work / "delta-service", ""};
    const std::uint64_t average = (mib << 20) / static_cast<std::uint64_t>(files);
    FileTree tree = writeFileTree(release.core, files - 1, average);
    fs::create_directories(release.core / "bin");
    fs::copy_file(ZARVO_TEST_CORE_PATH, release.core / "bin/core");
    fs::create_directories(release.www);
    fs::create_directories(release.keys);
    fs::permissions(release.keys, fs::perms::owner_all);
    writeDataFile(release.keys / "ui.rcc", 1 << 20, 9);
    runOrThrow({ZARVO_RELEASE_TOOL_PATH, "keygen", "--secret-key", (release.keys / "key.json").string(), "--trust",
         (release.keys / "trust.json").string()},
        "zarvo-release keygen");
    runOrThrow({ZARVO_RELEASE_TOOL_PATH, "keygen", "--scope", "content", "--secret-key",
         (release.keys / "content-key.json").string(), "--trust", (release.keys / "content.json").string()},
        "zarvo-release keygen");
    NginxProcess server(release.www, work / "delta-nginx");
    fs::create_directories(release.service);
    NginxProcess service(release.service, work / "delta-service-nginx");
    release.base = server.url("");
    const Json::Value first = release.pack();

    // The installed release every update starts from.
    const fs::path installed = work / "delta-installed";
    const fs::path data = work / "delta-data";
    const std::vector<std::string> launcher = {ZARVO_LAUNCHER_PATH, "--headless", "--data-dir", data.string(),
                                               "--service-url", service.url(""), "--allow-loopback-http",
                                               "--code-trust", (release.keys / "trust.json").string()};
    runOrThrow(launcher, "the first install");
    fs::copy(data, installed, fs::copy_options::recursive);
    std::vector<std::string> update = launcher;
    update.push_back("--no-launch");

    // What the per-file members cost against one gzip stream of the same files.
    const fs::path stream = work / "delta-stream.tar.gz";
    runOrThrow({"bsdtar", "-czf", stream.string(), "-C", release.core.string(), "."}, "bsdtar -c");
    const std::uint64_t members = first["components"]["core"]["size"].asUInt64();
    const std::uint64_t oneStream = fs::file_size(stream);
    std::printf("\nThe core archive, %d files: %llu bytes as per-file members, %llu as one gzip stream (%+.1f %%)\n",
                files, static_cast<unsigned long long>(members), static_cast<unsigned long long>(oneStream),
                100.0 * (static_cast<double>(members) / static_cast<double>(oneStream) - 1.0));

    const std::size_t count = tree.names.size();
    const std::vector<Scenario> scenarios = {
        {"1 file", 1}, {"1 % of files", count / 100}, {"10 % of files", count / 10}, {"every file", count}};
    std::printf("\n%-14s %8s %12s %12s %12s %9s %9s %10s %10s\n", "update", "changed", "floor B", "delta B",
                "whole B", "delta s", "whole s", "delta KiB", "whole KiB");
    std::size_t logLines = 0;
    bytesSince(server.accessLog(), logLines);
    for (const Scenario& scenario : scenarios) {
        std::cerr << "update: " << scenario.name << "\n";
        const std::size_t stride = count / scenario.changed;
        std::vector<std::size_t> changed;
        for (std::size_t i = 0; i < scenario.changed; ++i) {
            changed.push_back(i * stride + stride / 2);
        }
        for (std::size_t index : changed) {
            const fs::path file = release.core / tree.names[index];
            writeDataFile(file, fs::file_size(file), 5000 + index);
        }
        const Json::Value payload = release.pack();
        const Json::Value& core = payload["components"]["core"];
        std::uint64_t floor = 0;
        for (std::size_t index : changed) {
            floor += core["fileRanges"][tree.names[index]][1].asUInt64();
        }
        const auto reset = [&] {
            fs::remove_all(data);
            fs::copy(installed, data, fs::copy_options::recursive);
            // The copy's dirty pages would otherwise be flushed by the
            // measured run's own flush of its slot.
            ::sync();
        };
        reset();
        bytesSince(server.accessLog(), logLines);
        const Measurement delta = measureCommand(update);
        const std::uint64_t deltaBytes = bytesSince(server.accessLog(), logLines);
        release.withoutRanges(payload);
        reset();
        const Measurement whole = measureCommand(update);
        const std::uint64_t wholeBytes = bytesSince(server.accessLog(), logLines);
        if (!delta.ok || !whole.ok) {
            throw std::runtime_error("an update failed: " + delta.failure + whole.failure);
        }
        std::printf("%-14s %8zu %12llu %12llu %12llu %9.2f %9.2f %10ld %10ld\n", scenario.name.c_str(),
                    scenario.changed, static_cast<unsigned long long>(floor),
                    static_cast<unsigned long long>(deltaBytes), static_cast<unsigned long long>(wholeBytes),
                    delta.seconds, whole.seconds, delta.peakKiB, whole.peakKiB);
        std::fflush(stdout);
        // Back to the installed release's files for the next scenario.
        for (std::size_t index : changed) {
            const fs::path file = release.core / tree.names[index];
            writeDataFile(file, fs::file_size(file), index + 100);
        }
    }
}

}  // namespace zarvo::benchmark
