// zarvo-benchmark: the pre-starter's download, extraction and verification
// against curl, bsdtar and sha256sum on the same data, with the peak memory of
// each. Build it optimised (Release); everything it writes lives in one
// temporary folder that it removes at the end.
#include <curl/curl.h>
#include <sodium.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/update_manifest.h"
#include "install/archive_extract.h"
#include "install/component_inventory.h"
#include "delta_update.h"
#include "end_to_end.h"
#include "measure.h"
#include "net/download.h"
#include "nginx_process.h"
#include "report.h"
#include "platform/user_settings.h"
#include "workload.h"

namespace fs = std::filesystem;
using namespace zarvo::benchmark;

namespace {

struct Options {
    std::uint64_t downloadMiB = 1024;
    int files = 5000;
    std::uint64_t averageFileKiB = 32;
    int runs = 3;
    bool endToEnd = true;
    int installFiles = 2000;
    std::uint64_t installMiB = 190;
    bool delta = true;
    int deltaFiles = 2001;
    std::uint64_t deltaMiB = 60;
    fs::path parent = fs::temp_directory_path();
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (i + 1 >= argc) {
            throw std::runtime_error("missing value after " + name);
        }
        std::string value = argv[++i];
        if (name == "--download-mib") {
            options.downloadMiB = std::stoull(value);
        } else if (name == "--files") {
            options.files = std::stoi(value);
        } else if (name == "--average-file-kib") {
            options.averageFileKiB = std::stoull(value);
        } else if (name == "--runs") {
            options.runs = std::max(1, std::stoi(value));
        } else if (name == "--temp") {
            options.parent = value;
        } else if (name == "--install-files") {
            options.installFiles = std::stoi(value);
        } else if (name == "--install-mib") {
            options.installMiB = std::stoull(value);
        } else if (name == "--end-to-end") {
            options.endToEnd = value != "no";
        } else if (name == "--delta") {
            options.delta = value != "no";
        } else if (name == "--delta-files") {
            options.deltaFiles = std::max(2, std::stoi(value));
        } else if (name == "--delta-mib") {
            options.deltaMiB = std::stoull(value);
        } else {
            throw std::runtime_error("unknown option " + name +
                                     " (--download-mib N, --files N, --average-file-kib N, --runs N, --temp DIR, --install-files N, --install-mib N, --end-to-end yes|no, --delta yes|no, --delta-files N, --delta-mib N)");
        }
    }
    return options;
}

// The benchmark's one folder, removed with everything in it however main ends.
class WorkFolder {
public:
    explicit WorkFolder(const fs::path& parent) {
        std::string pattern = (parent / "zarvo-benchmark-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a folder in " + parent.string());
        }
        path_ = pattern;
    }
    ~WorkFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void removeAll(const fs::path& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

Json::Value artifactFor(const std::string& url, std::uint64_t size, const std::string& sha256) {
    Json::Value artifact(Json::objectValue);
    artifact["url"] = url;
    artifact["size"] = Json::UInt64(size);
    artifact["sha256"] = sha256;
    return artifact;
}

Measurement measureDownload(const Json::Value& artifact, const fs::path& target, int runs) {
    return bestOf(
        runs, [&] { removeAll(target.parent_path()); },
        [&] {
            return measureInChild([&] {
                fs::create_directories(target.parent_path());
                zarvo::downloadArtifact(zarvo::readArtifact(artifact), target, "", "", true, nullptr,
                                        [](std::uint64_t, std::uint64_t) {});
            });
        });
}

std::vector<Row> downloadRows(const Options& options, const fs::path& work) {
    const fs::path www = work / "www";
    const std::uint64_t bigSize = options.downloadMiB << 20;
    const std::uint64_t smallSize = std::min<std::uint64_t>(64u << 20, bigSize);
    std::cerr << "writing " << options.downloadMiB << " MiB to serve\n";
    const std::string bigDigest = writeDataFile(www / "big.bin", bigSize, 1);
    const std::string smallDigest = writeDataFile(www / "small.bin", smallSize, 2);
    NginxProcess server(www, work / "nginx");

    std::vector<Row> rows;
    const fs::path target = work / "download/big.bin";
    const std::string url = server.url("/big.bin");
    std::cerr << "downloading\n";
    Row download = makeRow("downloadArtifact " + std::to_string(options.downloadMiB) + " MiB", "curl -o", bigSize);
    download.ours = measureDownload(artifactFor(url, bigSize, bigDigest), target, options.runs);
    download.reference = bestOf(
        options.runs, [&] { removeAll(target.parent_path()); fs::create_directories(target.parent_path()); },
        [&] { return measureCommand({"curl", "-sSf", "-o", target.string(), url}); });
    rows.push_back(download);

    // downloadArtifact also checks the digest and makes the file durable before
    // it moves it into place; these rows do the same work with the tools.
    // "curl -o; sync" is the floor of a durable download: the same bytes
    // written and flushed, with no digest at all.
    for (const char* chain : {"curl -o; sync", "curl -o; sha256sum", "curl -o; sha256sum; sync"}) {
        std::string script = "curl -sSf -o \"$1\" \"$2\"";
        if (std::strstr(chain, "sha256sum") != nullptr) {
            script += " && sha256sum \"$1\"";
        }
        if (std::strstr(chain, "sync") != nullptr) {
            script += " && sync \"$1\"";
        }
        Row same = makeRow("  the same download", chain, bigSize);
        same.ours = download.ours;
        same.reference = bestOf(
            options.runs, [&] { removeAll(target.parent_path()); fs::create_directories(target.parent_path()); },
            [&] { return measureCommand({"sh", "-c", script, "sh", target.string(), url}); });
        rows.push_back(same);
    }

    Row small = makeRow("downloadArtifact " + std::to_string(smallSize >> 20) + " MiB (memory)", "curl -o", smallSize);
    const fs::path smallTarget = work / "download/small.bin";
    small.ours = measureDownload(artifactFor(server.url("/small.bin"), smallSize, smallDigest), smallTarget, 1);
    small.reference = bestOf(
        1, [&] { removeAll(smallTarget.parent_path()); fs::create_directories(smallTarget.parent_path()); },
        [&] { return measureCommand({"curl", "-sSf", "-o", smallTarget.string(), server.url("/small.bin")}); });
    rows.push_back(small);
    removeAll(work / "download");
    removeAll(www);
    return rows;
}

std::vector<Row> treeRows(const Options& options, const fs::path& work) {
    const fs::path tree = work / "tree";
    const fs::path archive = work / "tree.tar.gz";
    const fs::path out = work / "out";
    std::cerr << "writing " << options.files << " files and packing them\n";
    FileTree files = writeFileTree(tree, options.files, options.averageFileKiB << 10);
    Measurement pack = measureCommand({"bsdtar", "-czf", archive.string(), "-C", tree.string(), "."});
    if (!pack.ok) {
        throw std::runtime_error("bsdtar -c failed: " + pack.failure);
    }
    std::vector<Row> rows;
    std::cerr << "extracting\n";
    Row extract = makeRow("extractArchive " + std::to_string(options.files) + " files", "bsdtar -x", files.bytes);
    auto clearOut = [&] { removeAll(out); };
    extract.ours = bestOf(options.runs, clearOut, [&] {
        return measureInChild([&] { zarvo::extractArchive(archive, out, 1ull << 30); });
    });
    extract.reference = bestOf(
        options.runs, [&] { removeAll(out); fs::create_directories(out); },
        [&] { return measureCommand({"bsdtar", "-xf", archive.string(), "-C", out.string()}); });
    rows.push_back(extract);
    removeAll(out);
    removeAll(archive);

    std::cerr << "verifying\n";
    Row verify = makeRow("verifyComponentFiles " + std::to_string(options.files) + " files", "sha256sum", files.bytes);
    verify.ours = bestOf(options.runs, [] {}, [&] {
        return measureInChild([&] {
            zarvo::ComponentLocks locks = zarvo::verifyComponentFiles(tree, files.files);
            if (locks.empty()) {
                throw std::runtime_error("no locks");
            }
        });
    });
    std::vector<std::string> command = {"sha256sum", "--"};
    command.insert(command.end(), files.names.begin(), files.names.end());
    verify.reference = bestOf(options.runs, [] {}, [&] { return measureCommand(command, tree); });
    rows.push_back(verify);
    removeAll(tree);
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Options options = parseOptions(argc, argv);
        if (sodium_init() < 0 || curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
            throw std::runtime_error("library set-up failed");
        }
        zarvo::platform::useUtf8CharacterType();
        WorkFolder work(options.parent);
        std::cerr << "working in " << work.path() << "\n";

        Measurement baseline = measureInChild([] {});
        std::vector<Row> rows = downloadRows(options, work.path());
        std::vector<Row> more = treeRows(options, work.path());
        rows.insert(rows.end(), more.begin(), more.end());
        if (options.endToEnd) {
            std::vector<Row> runs = endToEndRows(options.installFiles, options.installMiB, work.path());
            rows.insert(rows.end(), runs.begin(), runs.end());
        }
        printTable(rows, baseline);
        if (options.delta) {
            printDeltaUpdates(options.deltaFiles, options.deltaMiB, work.path());
        }
        curl_global_cleanup();
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "zarvo-benchmark: " << error.what() << "\n";
        return 1;
    }
}
