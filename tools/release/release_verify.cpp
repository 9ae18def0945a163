// verify: a published release read the way a pre-starter reads it, with the
// pre-starter's own code for every rule, and nothing installed.
#include <curl/curl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include "app/update_manifest.h"
#include "authenticode.h"
#include "install/archive_extract.h"
#include "install/component_ceilings.h"
#include "install/component_inventory.h"
#include "install/safe_path.h"
#include "net/download.h"
#include "net/json_request.h"
#include "net/range_fetch.h"
#include "net/response_head.h"
#include "net/transfer_options.h"
#include "net/url_policy.h"
#include "platform/user_settings.h"
#include "file_ranges_check.h"
#include "program_facts.h"
#include "release_common.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo::release {
namespace {

namespace fs = std::filesystem;

// The download's own budget: the first request and five redirects.
constexpr int kRequestsPerProbe = 6;

class Report {
public:
    void pass(const std::string& check, const std::string& detail) { line("ok  ", check, detail); }
    void fail(const std::string& check, const std::string& detail) {
        ++failed_;
        line("FAIL", check, detail);
    }
    // What could not be checked here; neither a pass nor a failure.
    void note(const std::string& check, const std::string& detail) {
        std::cout << "note  " << check << ": " << detail << '\n';
    }
    int finish() const {
        if (failed_ == 0) {
            std::cout << "verify: all " << checks_ << " checks passed\n";
        } else {
            std::cout << "verify: " << failed_ << " of " << checks_ << " checks failed\n";
        }
        std::cout << std::flush;
        return failed_ == 0 ? 0 : 1;
    }

private:
    void line(const char* verdict, const std::string& check, const std::string& detail) {
        ++checks_;
        std::cout << verdict << "  " << check << ": " << detail << '\n';
    }

    int checks_ = 0;
    int failed_ = 0;
};

// A private folder for the downloads and the unpacked components, removed at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "zarvo-verify-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw ToolError("cannot create a temporary folder in " + fs::temp_directory_path().string());
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

struct Probe {
    long status = 0;
    std::string contentRange;
    curl_off_t contentLength = -1;
    std::string failure;  // set when no final answer arrived
};

struct EasyFree {
    void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* head) {
    readResponseHeaderLine(std::string_view(data, size * count), *static_cast<ResponseHead*>(head));
    return size * count;
}

// The first block is enough; refusing it ends the transfer.
std::size_t onBody(char*, std::size_t, std::size_t, void*) { return 0; }

// What the server answers to the request a pre-starter sends to resume a
// download, following redirects by the download's rules.
Probe probeRange(const std::string& url, std::uint64_t offset, bool allowLoopbackHttp) {
    Probe probe;
    std::string current = url;
    for (int request = 1; request <= kRequestsPerProbe; ++request) {
        std::unique_ptr<CURL, EasyFree> easy(curl_easy_init());
        if (!easy || !isAllowedUrl(current, allowLoopbackHttp) ||
            !setCommonTransferOptions(easy.get(), current, allowLoopbackHttp)) {
            probe.failure = "the URL '" + current + "' is refused (HTTPS only; plain HTTP to loopback with "
                            "--allow-loopback-http)";
            return probe;
        }
        HeaderList headers;
        headers.append("Range: bytes=" + std::to_string(offset) + "-");
        ResponseHead head;
        curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, onHeader);
        curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &head);
        curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, onBody);
        CURLcode result = curl_easy_perform(easy.get());
        if (result != CURLE_OK && result != CURLE_WRITE_ERROR) {
            probe.failure = std::string("the request failed: ") + curl_easy_strerror(result);
            return probe;
        }
        if (head.status >= 300 && head.status <= 399) {
            if (head.location.empty()) {
                probe.failure = "a redirect without Location";
                return probe;
            }
            current = redirectTarget(current, head.location);
            continue;
        }
        probe.status = head.status;
        probe.contentRange = head.contentRange;
        curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &probe.contentLength);
        return probe;
    }
    probe.failure = "more than five redirects in a row";
    return probe;
}

// The whole size after the "/" of a Content-Range, when it is a number.
std::optional<std::uint64_t> rangeTotal(const std::string& contentRange) {
    auto slash = contentRange.rfind('/');
    if (slash == std::string::npos || slash + 1 >= contentRange.size()) {
        return std::nullopt;
    }
    try {
        std::size_t used = 0;
        std::uint64_t total = std::stoull(contentRange.substr(slash + 1), &used);
        return used == contentRange.size() - slash - 1 ? std::optional<std::uint64_t>(total) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool startsAsScript(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    char start[2] = {};
    return file.read(start, 2) && start[0] == '#' && start[1] == '!';
}

bool startsWithWindowsHeader(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    char start[2] = {};
    return file.read(start, 2) && start[0] == 'M' && start[1] == 'Z';
}

std::string fileNameOfUrl(const std::string& url) {
    std::string path = url.substr(0, url.find_first_of("?#"));
    return path.substr(path.rfind('/') + 1);
}

class Verification {
public:
    Verification(const Invocation& invocation, Report& report)
        : invocation_(invocation),
          report_(report),
          loopback_(invocation.flag("allow-loopback-http")),
          platform_(platformOf(invocation)) {}

    int run() {
        const auto serviceUrl = invocation_.optional("service-url");
        if (serviceUrl.has_value() == (invocation_.optional("answer") || invocation_.optional("files"))) {
            throw ToolError("give either --service-url, or --answer and --files", 2);
        }
        if (!serviceUrl && !(invocation_.optional("answer") && invocation_.optional("files"))) {
            throw ToolError("--answer and --files go together", 2);
        }
        trust_ = readTrustFile(invocation_.required("trust"), "code", "trust file");
        const std::int64_t minimum = invocation_.integer("min-sequence").value_or(0);

        if (auto program = invocation_.optional("program")) {
            checkProgram(*program, serviceUrl);
        }
        std::optional<Json::Value> answer = serviceUrl ? fetchAnswer(*serviceUrl) : readAnswer();
        if (!answer || !checkEnvelope(*answer)) {
            return report_.finish();
        }
        UpdateManifest manifest;
        try {
            manifest = readUpdateManifest(*answer, trust_, ManifestRules{platform_, loopback_});
            report_.pass("manifest", "compatible: " + platform_ + " " +
                                         platform::kPlatformArch + ", schemaVersion 1, coreApi 1");
        } catch (const std::exception& error) {
            report_.fail("manifest", "a pre-starter refuses it (" + refusedMembers(*answer) + "): " + explain(error));
            return report_.finish();
        }
        const std::int64_t sequence = manifest.sequence;
        if (sequence >= std::max<std::int64_t>(minimum, 0)) {
            report_.pass("sequence", std::to_string(sequence) + " (not below " + std::to_string(minimum) + ")");
        } else {
            report_.fail("sequence", std::to_string(sequence) + " is lower than " +
                                         std::to_string(std::max<std::int64_t>(minimum, 0)) +
                                         ": pre-starters that accepted it refuse this answer for good");
        }
        if (auto after = invocation_.optional("after")) {
            checkAboveLive(*after, *answer, sequence);
        }
        try {
            checkComponentsPublished(manifest);
            report_.pass("published", "core and ui carry coreApi 1 and a sha256");
        } catch (const std::exception& error) {
            report_.fail("published", explain(error));
        }

        checkComponent("core", manifest.core, kCoreSizeCeiling);
        checkComponent("ui", manifest.ui, kInterfaceSizeCeiling);
        if (manifest.bootstrap) {
            checkComponent("bootstrap", *manifest.bootstrap, kBundleSizeCeiling);
        }
        return report_.finish();
    }

private:
    std::optional<Json::Value> fetchAnswer(const std::string& serviceUrl) {
        const std::string url = answerUrl(serviceUrl, platform_);
        try {
            Json::Value answer = requestJson(url, "GET", Json::Value(), "", loopback_, nullptr);
            report_.pass("answer", "fetched " + url);
            return answer;
        } catch (const std::exception& error) {
            report_.fail("answer", url + ": " + explain(error));
            return std::nullopt;
        }
    }

    // The live service's sequence, which players may have accepted: a new
    // answer must be above it, or be that answer itself.
    void checkAboveLive(const std::string& after, const Json::Value& answer, std::int64_t sequence) {
        std::optional<std::int64_t> signedLive;
        Json::Value liveAnswer;
        const std::string url = answerUrl(after, platform_);
        try {
            liveAnswer = requestJson(url, "GET", Json::Value(), "", loopback_, nullptr);
            signedLive = signedSequence(liveAnswer, trust_);
        } catch (const std::exception& error) {
            report_.fail("live", url + ": " + explain(error));
            return;
        }
        if (!signedLive) {
            report_.fail("live", url + " carries a sequence that is not a whole number");
            return;
        }
        const std::int64_t live = *signedLive;
        if (sequence > live) {
            report_.pass("live", std::to_string(sequence) + " is above the live " + std::to_string(live));
        } else if (writeCompactJson(liveAnswer) == writeCompactJson(answer)) {
            report_.pass("live", std::to_string(sequence) + ", the live answer itself");
        } else {
            report_.fail("live", std::to_string(sequence) + " is not above the live " + std::to_string(live) +
                                     ": pre-starters that accepted " + std::to_string(live) +
                                     " refuse this answer for good");
        }
    }

    // What a pre-starter program has built in: the key it trusts and the
    // service it asks when started without --service-url.
    void checkProgram(const std::string& path, const std::optional<std::string>& serviceUrl) {
        std::string bytes;
        try {
            bytes = readFileLimited(path, kBundleSizeCeiling);
        } catch (const std::exception& error) {
            report_.fail("program", path + ": " + explain(error));
            return;
        }
        const std::optional<std::string> url = recordedServiceUrl(bytes);
        const std::optional<std::string> key = recordedTrustKey(bytes);
        const std::string builtIn = "built in: service URL " + url.value_or("(none found)") + ", key " +
                                    (!key ? "(none found)" : *key == "UNCONFIGURED" ? "(none: UNCONFIGURED)" : *key);
        std::string problem;
        if (!key || *key != trust_["publicKey"].asString()) {
            problem = "its key is not the trust file's, so it refuses every answer signed for it";
        } else if (serviceUrl && (!url || answerUrl(*url, platform_) != answerUrl(*serviceUrl, platform_))) {
            problem = "it asks another service than " + *serviceUrl + " unless started with --service-url";
        }
        if (problem.empty()) {
            report_.pass("program", builtIn);
        } else {
            report_.fail("program", builtIn + "; " + problem);
        }
    }

    std::optional<Json::Value> readAnswer() {
        const std::string path = invocation_.required("answer");
        try {
            Json::Value answer = readJsonFile(path, "answer");
            report_.pass("answer", "read " + path);
            return answer;
        } catch (const ToolError& error) {
            report_.fail("answer", error.what());
            return std::nullopt;
        }
    }

    // Which members the pre-starter's manifest check refuses, by its own rules.
    std::string refusedMembers(const Json::Value& answer) const {
        Json::Value payload;
        try {
            payload = openSignedEnvelope(answer, trust_, "code");
        } catch (const std::exception&) {
        }
        if (!payload.isObject()) {
            return "the payload is not a JSON object";
        }
        std::string refused;
        for (const std::string& name : brokenManifestRules(payload, ManifestRules{platform_, loopback_})) {
            refused += (refused.empty() ? "" : ", ") + name;
        }
        return refused.empty() ? "a combination of members" : "refused: " + refused;
    }

    bool checkEnvelope(const Json::Value& answer) {
        try {
            openSignedEnvelope(answer, trust_, "code");
            report_.pass("signature", "signed by the trusted key " + trust_["keyId"].asString());
            return true;
        } catch (const std::exception& error) {
            report_.fail("signature", explain(error));
            return false;
        }
    }

    // The component's bytes at a local path, or nullopt after a reported failure.
    std::optional<fs::path> fetch(const std::string& name, const ReleaseComponent& component, std::uint64_t ceiling) {
        Artifact artifact;
        try {
            artifact = component.artifact();
        } catch (const std::exception& error) {
            report_.fail(name + " digest", explain(error));
            return std::nullopt;
        }
        const std::string& url = artifact.url;
        const std::uint64_t size = artifact.size;
        const ArtifactDigest& digest = artifact.digest;
        if (auto files = invocation_.optional("files")) {
            const fs::path path = fs::path(*files) / fileNameOfUrl(url);
            std::error_code error;
            if (!fs::is_regular_file(path, error)) {
                report_.fail(name + " file", "no file '" + path.string() + "' for " + url);
                return std::nullopt;
            }
            checkSize(name, size, fs::file_size(path));
            if (hashFile(path, digest.algorithm) != digest.value) {
                report_.fail(name + " digest", "the bytes of '" + path.string() + "' do not have the manifest's " +
                                                   digest.algorithm + " " + digest.value);
                return std::nullopt;
            }
            report_.pass(name + " digest", digest.algorithm + " " + digest.value);
            return path;
        }

        const std::uint64_t offset = size == 1 ? 0 : 1;
        const Probe probe = probeRange(url, offset, loopback_);
        if (!probe.failure.empty()) {
            report_.fail(name + " range", url + ": " + probe.failure);
        } else if (probe.status == 206 && contentRangeStartsAt(probe.contentRange, offset)) {
            report_.pass(name + " range", "206 from byte " + std::to_string(offset) + " (" + probe.contentRange + ")");
        } else if (probe.status == 206) {
            report_.fail(name + " range", "206 with Content-Range '" + probe.contentRange + "', not from byte " +
                                              std::to_string(offset) + ": a pre-starter drops such an answer");
        } else if (probe.status == 200) {
            report_.fail(name + " range", "the server ignores Range requests (HTTP 200 to 'Range: bytes=" +
                                              std::to_string(offset) +
                                              "-'): an interrupted download starts again from zero");
        } else {
            report_.fail(name + " range", url + " answers HTTP " + std::to_string(probe.status));
        }
        if (auto total = rangeTotal(probe.contentRange); probe.status == 206 && total) {
            checkSize(name, size, *total);
        } else if (probe.status == 200 && probe.contentLength >= 0) {
            checkSize(name, size, static_cast<std::uint64_t>(probe.contentLength));
        }

        const fs::path target = scratch_ / ("download-" + name);
        try {
            downloadArtifact(artifact, target, "", "", loopback_, nullptr, DownloadProgress(), ceiling);
            report_.pass(name + " digest", "downloaded " + std::to_string(fs::file_size(target)) + " bytes, " +
                                               digest.algorithm + " " + digest.value);
            return target;
        } catch (const std::exception& error) {
            report_.fail(name + " digest", url + ": " + explain(error));
            return std::nullopt;
        }
    }

    void checkSize(const std::string& name, std::uint64_t expected, std::uint64_t actual) {
        if (expected == 0) {
            report_.pass(name + " size", std::to_string(actual) + " bytes (the manifest names no size)");
        } else if (expected == actual) {
            report_.pass(name + " size", std::to_string(actual) + " bytes");
        } else {
            report_.fail(name + " size", "the file has " + std::to_string(actual) + " bytes, the manifest says " +
                                             std::to_string(expected));
        }
    }

    void checkComponent(const std::string& name, const ReleaseComponent& component, std::uint64_t ceiling) {
        const std::string& entry = component.entry();
        if (name != "ui" && entry.empty()) {
            report_.fail(name + " entry", "the manifest names no entry (the program to start)");
            return;
        }
        if (name == "bootstrap" && artifactDigestAlgorithm(component) != "sha256") {
            report_.fail(name + " digest", "a pre-starter bundle must carry a sha256");
            return;
        }
        const std::optional<fs::path> file = fetch(name, component, ceiling);
        if (!file || name == "ui") {
            return;
        }
        const fs::path unpacked = scratch_ / ("unpacked-" + name);
        try {
            extractArchive(*file, unpacked, ceiling);
            report_.pass(name + " unpack", "unpacked with the pre-starter's rules");
        } catch (const std::exception& error) {
            report_.fail(name + " unpack", explain(error));
            return;
        }
        if (name == "core" || name == "bootstrap") {
            compareFiles(name, unpacked, component.files());
        }
        if (name == "core") {
            checkFileRanges(component, *file);
        }
        checkEntry(name, unpacked, entry);
        if (name == "bootstrap" && platform_ == "windows") {
            checkProgramSignature(unpacked, entry);
        }
    }

    // Signing is the operator's choice: an unsigned program passes, a broken
    // signature fails (the bundle's digest has already caught changed bytes
    // in transit; this catches a program changed after it was signed).
    void checkProgramSignature(const fs::path& root, const std::string& entry) {
        fs::path program;
        try {
            program = resolveInstallPath(root, entry);
        } catch (const std::exception&) {
            return;  // checkEntry has said why
        }
        if (!startsWithWindowsHeader(program)) {
            report_.note("bundle signature", "not checked: '" + entry + "' is not a Windows (PE) program");
            return;
        }
        const ProgramSignature signature = readProgramSignature(program, scratch_.path());
        switch (signature.state) {
        case ProgramSignature::State::notChecked:
            report_.note("bundle signature", "not checked: " + signature.detail);
            break;
        case ProgramSignature::State::unsignedProgram:
            report_.pass("bundle signature", "unsigned");
            break;
        case ProgramSignature::State::signedProgram:
            report_.pass("bundle signature", "signed by " + describeSigner(signature));
            break;
        case ProgramSignature::State::broken:
            report_.fail("bundle signature", "broken: " + signature.detail);
            break;
        }
    }

    // Every range against the archive, then one range from the server as a
    // pre-starter asks for it. A release without ranges is installed whole.
    void checkFileRanges(const ReleaseComponent& core, const fs::path& archive) {
        if (core.fileRanges().unusable == "missing") {
            report_.pass("core ranges", "none: pre-starters install the whole archive");
            return;
        }
        const std::vector<std::string> faults = fileRangeFaults(core, archive, scratch_ / "ranges");
        for (const std::string& fault : faults) {
            report_.fail("core ranges", fault);
        }
        if (!faults.empty()) {
            return;
        }
        report_.pass("core ranges", "all " + std::to_string(core.files().size()) +
                                        " ranges unpack to their files with the listed digests");
        if (!invocation_.optional("files")) {
            probeFileRange(core, archive);
        }
    }

    // One member fetched with the pre-starter's range fetch; its bytes must be the archive's.
    void probeFileRange(const ReleaseComponent& core, const fs::path& archive) {
        const auto [name, range] = *core.fileRanges().ranges.begin();
        RangeFetch fetch;
        fetch.url = core.artifact().url;
        fetch.fileSize = core.artifact().size;
        fetch.allowLoopbackHttp = loopback_;
        fetch.ranges.push_back(RangeRequest{range.offset, range.length, scratch_ / "range-probe"});
        const RangeFetchResult result = fetchRanges(fetch);
        const std::string asked = "bytes=" + std::to_string(range.offset) + "-" +
                                  std::to_string(range.offset + range.length - 1) + " ('" + name + "')";
        if (result.outcome == RangeFetchResult::Outcome::Refused) {
            report_.fail("core range request", asked + ": " + result.reason + "; pre-starters fall back to the "
                                               "whole archive (see the log line download.range-refused)");
            return;
        }
        std::string expected(range.length, '\0');
        std::ifstream in(archive, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(range.offset));
        in.read(expected.data(), static_cast<std::streamsize>(expected.size()));
        if (readFileLimited(scratch_ / "range-probe", range.length) != expected) {
            report_.fail("core range request", asked + ": the bytes differ from the archive's");
            return;
        }
        report_.pass("core range request", "206 for " + asked + " with the archive's bytes");
    }

    static std::string artifactDigestAlgorithm(const ReleaseComponent& component) {
        try {
            return component.artifact().digest.algorithm;
        } catch (const std::exception&) {
            return "";
        }
    }

    void checkEntry(const std::string& name, const fs::path& root, const std::string& entry) {
        try {
            const fs::path path = resolveInstallPath(root, entry);
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
                report_.fail(name + " entry", "'" + entry + "' is not a regular file of the archive");
            } else if ((info.st_mode & S_IXUSR) == 0) {
                report_.fail(name + " entry", "'" + entry + "' is not executable");
            } else if (name == "bootstrap" && startsAsScript(path)) {
                report_.fail(name + " entry", "'" + entry + "' is a script: the new pre-starter refuses to "
                                              "install itself when the running program is its interpreter");
            } else {
                report_.pass(name + " entry", "'" + entry + "' is an executable file");
            }
        } catch (const std::exception& error) {
            report_.fail(name + " entry", "'" + entry + "': " + explain(error));
        }
    }

    // Every difference named, then the pre-starter's own check, which also
    // judges what a plain comparison cannot (links, an empty or oversized list).
    void compareFiles(const std::string& name, const fs::path& root, const Json::Value& files) {
        const std::string check = name + " files";
        if (name == "bootstrap" && (!files.isObject() || files.empty())) {
            report_.fail(check, "the manifest lists no files of the bundle: a pre-starter can neither check an "
                                "unpacked bundle nor hand a run to its installed copy");
            return;
        }
        std::size_t differences = 0;
        if (files.isObject() && !files.empty()) {
            std::map<std::string, std::string> found;
            std::error_code error;
            for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
                if (it->is_regular_file(error) && !it->is_symlink(error)) {
                    found[it->path().lexically_relative(root).generic_string()] = hashFile(it->path(), "sha256");
                }
            }
            for (const std::string& file : files.getMemberNames()) {
                auto present = found.find(file);
                if (present == found.end()) {
                    ++differences;
                    report_.fail(check, "'" + file + "' is in the file list but not in the archive");
                } else if (files[file] != Json::Value(present->second)) {
                    ++differences;
                    report_.fail(check, "'" + file + "' differs from the file list (its sha256 is " +
                                                   present->second + ")");
                }
            }
            for (const auto& [file, sha256] : found) {
                if (!files.isMember(file)) {
                    ++differences;
                    report_.fail(check, "'" + file + "' is in the archive but not in the file list");
                }
            }
        }
        if (differences != 0) {
            return;
        }
        try {
            verifyComponentFiles(root, files);
            report_.pass(check, "all " + std::to_string(files.size()) + " files match the file list");
        } catch (const std::exception& error) {
            report_.fail(check, explain(error));
        }
    }

    const Invocation& invocation_;
    Report& report_;
    bool loopback_;
    std::string platform_;
    Json::Value trust_;
    ScratchFolder scratch_;
};

}  // namespace

int verify(const Invocation& invocation) {
    Report report;
    return Verification(invocation, report).run();
}

}  // namespace zarvo::release
