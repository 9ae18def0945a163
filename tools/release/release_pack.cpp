// pack: a core folder, an interface package and optionally a pre-starter
// bundle in; a signed release folder that a static server serves as it is out.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <limits>
#include <optional>
#include <vector>

#include "app/update_manifest.h"
#include "authenticode.h"
#include "install/archive_extract.h"
#include "install/component_ceilings.h"
#include "install/component_inventory.h"
#include "install/safe_path.h"
#include "net/json_request.h"
#include "net/url_policy.h"
#include "file_ranges_check.h"
#include "pack_tree.h"
#include "program_facts.h"
#include "platform/files.h"
#include "platform/user_settings.h"
#include "release_common.h"
#include "secret_key.h"
#include "trust/digest.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo::release {
namespace {

namespace fs = std::filesystem;

// One file of the release: where it lies in the stage and where it is published.
struct ReleaseFile {
    fs::path staged;
    fs::path name;  // relative to the release folder
    std::string sha256;
    std::uint64_t size = 0;
};

std::string checkedUrl(const Invocation& invocation, const std::string& option, bool allowLoopbackHttp) {
    const std::string& url = invocation.required(option);
    if (!isAllowedUrl(url, allowLoopbackHttp) || url.find_first_of("?#") != std::string::npos) {
        throw ToolError("--" + option + " '" + url +
                        "' is refused by a pre-starter: it must be an HTTPS URL without query or fragment "
                        "(plain HTTP only to a loopback host, with --allow-loopback-http)");
    }
    return url;
}

// ".out.pack-<random>", built by appending: GCC 12's optimiser warns
// (wrongly) about the same text made with operator+ on a temporary.
std::string stageName(const fs::path& out) {
    std::string name = ".";
    name += out.filename().string();
    name += ".pack-";
    name += randomHexName();
    return name;
}

// The private sibling a release is built in; removed with what is left in it.
class Stage {
public:
    explicit Stage(const fs::path& out) : path_(out.parent_path() / stageName(out)) {
        if (::mkdir(path_.c_str(), 0700) != 0) {
            throw ToolError("cannot create a private folder beside '" + out.string() + "': " + std::strerror(errno));
        }
    }
    ~Stage() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    fs::path operator/(const fs::path& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The output folder while pack writes it: held against a second pack, and
// removed again when pack created it and fails before publishing anything.
class ReleaseFolder {
public:
    ReleaseFolder(const fs::path& out, const std::string& platformName)
        : path_(out), answer_(answerPath(platformName)), payload_(payloadPath(platformName)) {
        std::error_code error;
        if (!fs::exists(fs::symlink_status(out, error))) {
            if (::mkdir(out.c_str(), 0755) != 0) {
                throw ToolError("cannot create the release folder '" + out.string() + "': " + std::strerror(errno));
            }
            created_ = true;
        }
        folder_ = ::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder_ < 0) {
            int failure = errno;
            cleanUp();
            throw ToolError("the release folder '" + out.string() + "' is not a usable folder: " +
                            std::strerror(failure));
        }
        if (::flock(folder_, LOCK_EX | LOCK_NB) != 0) {
            cleanUp();
            throw ToolError("another pack is writing the release folder '" + out.string() + "'");
        }
    }
    ~ReleaseFolder() { cleanUp(); }
    ReleaseFolder(const ReleaseFolder&) = delete;
    ReleaseFolder& operator=(const ReleaseFolder&) = delete;

    fs::path operator/(const fs::path& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

    // The sequence of the answer published here, checked with the trust the
    // new release is signed for; nullopt when there is none yet.
    std::optional<std::int64_t> publishedSequence(const Json::Value& trust) const {
        const fs::path answer = path_ / answer_;
        if (!fs::exists(fs::symlink_status(answer))) {
            return std::nullopt;
        }
        const Json::Value envelope = readJsonFile(answer, "published answer");
        std::optional<std::int64_t> sequence;
        try {
            sequence = signedSequence(envelope, trust);
        } catch (const std::exception&) {
        }
        if (!sequence) {
            throw ToolError("the published answer '" + answer.string() +
                            "' does not verify against the trust file, so its sequence is unknown; nothing was "
                            "changed (after a change of key, move it away and give a --sequence higher than "
                            "any published before)");
        }
        return sequence;
    }

    // Content-addressed files are moved in unless present with the same bytes,
    // then the payload, then the answer, each by one rename: a server reading
    // the folder meanwhile serves the old release or the new one.
    void publish(const std::vector<ReleaseFile>& files, const fs::path& payload, const fs::path& answer) {
        std::vector<const ReleaseFile*> fresh;
        for (const ReleaseFile& file : files) {
            const fs::path target = path_ / file.name;
            const auto status = fs::symlink_status(target);
            if (!fs::exists(status)) {
                fresh.push_back(&file);
            } else if (!fs::is_regular_file(status) || fs::file_size(target) != file.size ||
                       hashFile(target, "sha256") != file.sha256) {
                throw ToolError("'" + target.string() +
                                "' is already published with other bytes; a published file is never replaced "
                                "(players may be fetching it), so nothing was changed");
            }
        }
        for (const fs::path& name : {payload_, answer_}) {
            const auto status = fs::symlink_status(path_ / name);
            if (fs::exists(status) && !fs::is_regular_file(status)) {
                throw ToolError("'" + (path_ / name).string() + "' is not a regular file; nothing was changed");
            }
        }
        for (const ReleaseFile* file : fresh) {
            moveIn(file->staged, file->name);
        }
        moveIn(payload, payload_);
        moveIn(answer, answer_);
        created_ = false;
    }

private:
    void moveIn(const fs::path& staged, const fs::path& name) {
        const fs::path target = path_ / name;
        makeFolders(target.parent_path());
        syncToDisk(staged);
        if (::rename(staged.c_str(), target.c_str()) != 0) {
            throw ToolError("cannot move '" + name.string() + "' into the release folder: " + std::strerror(errno));
        }
        syncToDisk(target.parent_path());
    }

    // Folders a web server must enter, whatever the umask.
    void makeFolders(const fs::path& folder) {
        if (fs::is_directory(fs::symlink_status(folder))) {
            return;
        }
        makeFolders(folder.parent_path());
        if (::mkdir(folder.c_str(), 0755) != 0 || ::chmod(folder.c_str(), 0755) != 0) {
            throw ToolError("cannot create '" + folder.string() + "': " + std::strerror(errno));
        }
    }

    void cleanUp() noexcept {
        if (folder_ >= 0) {
            ::close(folder_);
            folder_ = -1;
        }
        if (created_) {
            ::rmdir(path_.c_str());  // only while still empty
            created_ = false;
        }
    }

    fs::path path_;
    fs::path answer_;
    fs::path payload_;
    int folder_ = -1;
    bool created_ = false;
};

// The highest sequence a player may have accepted: the answer published in
// the folder and, with --after, the live service's.
struct SequenceFloor {
    std::int64_t value = 0;
    std::string source;  // "published" or "live"; empty when nothing is out yet
};

SequenceFloor sequenceFloor(std::optional<std::int64_t> published, std::optional<std::int64_t> live) {
    SequenceFloor floor;
    if (published) {
        floor = {*published, "published"};
    }
    if (live && (floor.source.empty() || *live > floor.value)) {
        floor = {*live, "live"};
    }
    return floor;
}

std::int64_t chooseSequence(const Invocation& invocation, const SequenceFloor& floor) {
    const std::string above = std::to_string(floor.value);
    if (auto explicitSequence = invocation.integer("sequence")) {
        if (*explicitSequence < 0) {
            throw ToolError("--sequence must not be negative: a pre-starter refuses a sequence below 0");
        }
        if (!floor.source.empty() && *explicitSequence <= floor.value) {
            throw ToolError("--sequence " + std::to_string(*explicitSequence) + " is not higher than the " +
                            floor.source + " " + above + "; pre-starters that accepted " + above +
                            " refuse a lower sequence for good, so nothing was changed");
        }
        return *explicitSequence;
    }
    if (floor.source.empty()) {
        return 1;
    }
    if (floor.value == std::numeric_limits<std::int64_t>::max()) {
        throw ToolError("the " + floor.source + " sequence is the highest possible; no later release can be published");
    }
    return std::max<std::int64_t>(floor.value + 1, 1);
}

void setPublicMode(const fs::path& path) {
    if (::chmod(path.c_str(), 0644) != 0) {
        throw ToolError("cannot set the mode of '" + path.string() + "': " + std::strerror(errno));
    }
}

// The entry as the pre-starter finds it after unpacking: a regular file it may start.
void requireUnpackedEntry(const fs::path& root, const std::string& entry, const std::string& what) {
    const fs::path path = resolveInstallPath(root, entry);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & S_IXUSR) == 0) {
        throw ToolError("the packed " + what + " does not unpack its entry '" + entry + "' as an executable file");
    }
}

// Packs a folder, then unpacks the archive with the pre-starter's own
// extraction (and, for the core, checks it against its file list), so that
// what is published is what a pre-starter installs.
// With fileRanges, the archive is the seekable one of one gzip member per file.
ReleaseFile packFolder(const PackTree& tree, const Stage& stage, const std::string& component,
                       const std::string& entry, std::uint64_t ceiling, Json::Value* files,
                       Json::Value* fileRanges = nullptr) {
    const fs::path archive = stage / (component + ".tar.gz");
    Json::Value listed = fileRanges != nullptr ? tree.writeMemberArchive(archive, *fileRanges) : tree.writeArchive(archive);
    setPublicMode(archive);
    const fs::path check = stage / ("check-" + component);
    try {
        extractArchive(archive, check, ceiling);
        if (files != nullptr) {
            verifyComponentFiles(check, listed);
        }
    } catch (const Error& error) {
        throw ToolError("the packed " + component + " fails the pre-starter's own check: " + explain(error));
    }
    requireUnpackedEntry(check, entry, component);
    if (files != nullptr) {
        *files = listed;
    }
    ReleaseFile file;
    file.staged = archive;
    file.sha256 = hashFile(archive, "sha256");
    file.size = fs::file_size(archive);
    file.name = fs::path("files") / (component + "-" + file.sha256 + ".tar.gz");
    return file;
}

// The interface package copied into the stage, hashed as it is copied.
ReleaseFile stageInterface(const fs::path& source, const Stage& stage) {
    const auto refuse = [&](const std::string& why) {
        return ToolError("the interface package '" + source.string() + "' " + why);
    };
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat info {};
    if (in < 0 || ::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (in >= 0) {
            ::close(in);
        }
        throw refuse("is missing, unreadable or not a regular file");
    }
    // An empty download never creates its file, so a pre-starter could not install it.
    if (info.st_size == 0 || static_cast<std::uint64_t>(info.st_size) > kInterfaceSizeCeiling) {
        ::close(in);
        throw refuse(info.st_size == 0 ? "is empty" : "is larger than the 256 MiB a pre-starter accepts");
    }
    ReleaseFile file;
    file.staged = stage / "ui.rcc";
    int out = ::open(file.staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    DigestContext digest = startDigest("sha256");
    std::vector<char> block(65536);
    std::string failure = out < 0 ? std::strerror(errno) : "";
    while (failure.empty()) {
        ssize_t count = ::read(in, block.data(), block.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            failure = count < 0 ? std::strerror(errno) : "";
            break;
        }
        feedDigest(digest.get(), std::string_view(block.data(), static_cast<std::size_t>(count)));
        file.size += static_cast<std::uint64_t>(count);
        for (ssize_t done = 0; done < count && failure.empty();) {
            ssize_t written = ::write(out, block.data() + done, static_cast<std::size_t>(count - done));
            if (written >= 0) {
                done += written;
            } else if (errno != EINTR) {
                failure = std::strerror(errno);
            }
        }
    }
    ::close(in);
    if (out >= 0 && ::close(out) != 0 && failure.empty()) {
        failure = std::strerror(errno);
    }
    if (!failure.empty()) {
        throw ToolError("cannot copy the interface package '" + source.string() + "': " + failure);
    }
    if (file.size != static_cast<std::uint64_t>(info.st_size)) {
        throw refuse("changed while it was copied");
    }
    setPublicMode(file.staged);
    file.sha256 = finishDigest(digest.get());
    file.name = fs::path("files") / ("ui-" + file.sha256 + ".rcc");
    return file;
}

Json::Value download(const ReleaseFile& file, const std::string& filesUrl) {
    Json::Value component(Json::objectValue);
    component["url"] = filesUrl + "/" + file.name.filename().string();
    component["size"] = Json::UInt64(file.size);
    component["sha256"] = file.sha256;
    return component;
}

fs::path outputFolder(const std::string& option) {
    fs::path out = fs::absolute(option).lexically_normal();
    if (out.filename().empty()) {
        out = out.parent_path();
    }
    return out;
}

// The version stamped into the manifest's bootstrap component: --bootstrap-version,
// else the one the program records. Warns when the program carries debug
// sections, which every player would download.
std::optional<std::string> bundleVersion(const Invocation& invocation, const fs::path& program,
                                         const std::string& entry) {
    std::string bytes;
    try {
        bytes = readFileLimited(program, kBundleSizeCeiling);
    } catch (const std::exception&) {
        throw ToolError("cannot read the bundle's program '" + program.string() + "'");
    }
    // The new pre-starter must be the program that runs: it checks that its
    // own executable is the bundle's entry, which for a script is the interpreter.
    if (bytes.starts_with("#!")) {
        throw ToolError("the bundle's entry '" + entry +
                        "' is a script (it begins with #!): a pre-starter hands over only to a native program, "
                        "since the new pre-starter refuses to install itself when the running program is its "
                        "interpreter; give the program itself as --bundle-entry");
    }
    const std::vector<std::string> debug = debugSectionNames(bytes);
    if (!debug.empty()) {
        std::string names;
        for (std::size_t i = 0; i < debug.size() && i < 4; ++i) {
            names += (i == 0 ? "" : ", ") + debug[i];
        }
        std::cerr << "zarvo-release: warning: the bundle's program '" << entry << "' carries debug sections ("
                  << names << (debug.size() > 4 ? ", ..." : "")
                  << "), which every player downloads; build what ships with the release preset "
                     "(cmake --preset release, or windows-release)\n";
    }
    if (auto given = invocation.optional("bootstrap-version")) {
        return given;
    }
    return recordedVersion(bytes);
}

// Everything in the core and bundle folders goes to every player.
void requireOutsideOf(const fs::path& folder, const fs::path& secret, const std::string& option) {
    std::error_code secretError;
    std::error_code folderError;
    const fs::path real = fs::weakly_canonical(secret, secretError);
    const fs::path relative = real.lexically_relative(fs::weakly_canonical(folder, folderError));
    if (!secretError && !folderError && !relative.empty() && *relative.begin() != "..") {
        throw ToolError(option + " '" + secret.string() + "' lies inside '" + folder.string() +
                        "', which is published to every player; keep it outside the release's folders");
    }
}

}  // namespace

int pack(const Invocation& invocation) {
    const bool loopback = invocation.flag("allow-loopback-http");
    const std::string platformName = platformOf(invocation);
    SecretKey key = SecretKey::load(invocation.required("secret-key"));
    const Json::Value trust = readTrustFile(invocation.required("trust"), "code", "trust file");
    if (key.scope() != "code" || trust != key.trust()) {
        throw ToolError("the secret key '" + invocation.required("secret-key") + "' does not match the trust file '" +
                        invocation.required("trust") + "': a pre-starter built with that trust would refuse it");
    }
    const Json::Value contentKey = readTrustFile(invocation.required("content-key"), "content", "content key");
    const std::string apiUrl = checkedUrl(invocation, "api-url", loopback);
    const std::string azuriomUrl = checkedUrl(invocation, "azuriom-url", loopback);
    std::string filesUrl = checkedUrl(invocation, "files-url", loopback);
    while (filesUrl.ends_with("/")) {
        filesUrl.pop_back();
    }
    const std::string coreEntry = invocation.required("core-entry");
    const fs::path uiSource = invocation.required("ui");
    const auto bundleFolder = invocation.optional("bundle");
    const auto bundleEntry = invocation.optional("bundle-entry");
    if (bundleFolder.has_value() != bundleEntry.has_value()) {
        throw ToolError("--bundle and --bundle-entry go together", 2);
    }
    if (invocation.optional("bootstrap-version") && !bundleFolder) {
        throw ToolError("--bootstrap-version needs --bundle", 2);
    }
    const auto signing = codeSigningIdentity(invocation, platformName, bundleFolder.has_value());
    if (signing) {
        for (const std::string& folder : {invocation.required("core"), *bundleFolder}) {
            requireOutsideOf(folder, signing->key, "--sign-key");
            if (signing->passwordFile) {
                requireOutsideOf(folder, *signing->passwordFile, "--sign-key-password-file");
            }
        }
    }
    const fs::path out = outputFolder(invocation.required("out"));

    // Everything a pre-starter would refuse is found before anything is written.
    const PackTree core = PackTree::scan(invocation.required("core"), "core folder", kCoreSizeCeiling);
    core.requireEntry(coreEntry);
    std::optional<PackTree> bundle;
    if (bundleFolder) {
        bundle = PackTree::scan(*bundleFolder, "bundle folder", kBundleSizeCeiling);
        bundle->requireEntry(*bundleEntry);
    }
    std::optional<std::string> bootstrapVersion;
    if (bundleFolder) {
        const fs::path program = fs::path(*bundleFolder) / platform::pathFromUtf8(*bundleEntry);
        bootstrapVersion = bundleVersion(invocation, program, *bundleEntry);
    }

    ReleaseFolder folder(out, platformName);
    // The answer and the manifest are the only files of the folder ever replaced.
    requireReplaceable(out / payloadPath(platformName), "published manifest", invocation.required("secret-key"));
    requireReplaceable(out / answerPath(platformName), "published answer", invocation.required("secret-key"));
    // A new folder would otherwise start again at 1, which every player who
    // accepted a higher sequence refuses for good.
    std::optional<std::int64_t> live;
    if (auto after = invocation.optional("after")) {
        live = liveSequence(*after, trust, platformName, loopback);
    }
    const std::int64_t sequence = chooseSequence(invocation, sequenceFloor(folder.publishedSequence(trust), live));
    Stage stage(out);
    // Signed before the bundle is packed, so that its archive, digest and file
    // list describe the program players get; the operator's file stays as it is.
    std::string signer;
    if (signing) {
        const fs::path signedProgram = stage / "signed-program";
        signWindowsProgram(*signing, fs::path(*bundleFolder) / platform::pathFromUtf8(*bundleEntry), signedProgram,
                           stage.path());
        // Read back as verify reads it, so a signature that does not hold is never published.
        const ProgramSignature signature = readProgramSignature(signedProgram, stage.path());
        if (signature.state != ProgramSignature::State::signedProgram) {
            throw ToolError("the signed bundle's program does not carry a readable signature (" + signature.detail +
                            "); nothing was changed");
        }
        signer = describeSigner(signature);
        bundle->replaceFile(*bundleEntry, signedProgram);
    }

    std::vector<ReleaseFile> files;
    Json::Value manifest(Json::objectValue);
    manifest["type"] = "bootstrap";
    manifest["schemaVersion"] = 1;
    manifest["platform"] = platformName;
    manifest["arch"] = platform::kPlatformArch;
    manifest["coreApi"] = 1;
    manifest["apiUrl"] = apiUrl;
    manifest["azuriomUrl"] = azuriomUrl;
    manifest["contentKey"] = contentKey;
    manifest["sequence"] = Json::Int64(sequence);
    Json::Value& components = manifest["components"];

    Json::Value coreFiles;
    Json::Value coreRanges;
    files.push_back(packFolder(core, stage, "core", coreEntry, kCoreSizeCeiling, &coreFiles, &coreRanges));
    components["core"] = download(files.back(), filesUrl);
    components["core"]["coreApi"] = 1;
    components["core"]["entry"] = coreEntry;
    components["core"]["files"] = coreFiles;
    components["core"]["fileRanges"] = coreRanges;
    // A pre-starter must be able to use every range it is given.
    const auto rangeFaults = fileRangeFaults(ReleaseComponent(components["core"]), files.back().staged,
                                             stage / "check-ranges");
    if (!rangeFaults.empty()) {
        throw ToolError("the packed core fails the pre-starter's own check: " + rangeFaults.front());
    }
    files.push_back(stageInterface(uiSource, stage));
    components["ui"] = download(files.back(), filesUrl);
    components["ui"]["coreApi"] = 1;
    for (const char* name : {"core", "ui"}) {
        if (auto version = invocation.optional(std::string(name) + "-version")) {
            components[name]["version"] = *version;
        }
    }
    if (bundle) {
        // The file list lets a pre-starter check an unpacked or installed bundle before it starts it.
        Json::Value bundleFiles;
        files.push_back(packFolder(*bundle, stage, "bootstrap", *bundleEntry, kBundleSizeCeiling, &bundleFiles));
        components["bootstrap"] = download(files.back(), filesUrl);
        components["bootstrap"]["entry"] = *bundleEntry;
        components["bootstrap"]["files"] = bundleFiles;
        if (bootstrapVersion) {
            components["bootstrap"]["version"] = *bootstrapVersion;
        }
    }

    const std::string payload = writeCompactJson(manifest);
    const Json::Value envelope = signPayload(key, payload);
    const std::string answer = writeCompactJson(envelope);
    if (answer.size() > kJsonAnswerLimit) {
        throw ToolError("the signed answer would be larger than the 16 MiB a pre-starter reads (the core has " +
                        std::to_string(core.fileCount()) + " files)");
    }
    // The pre-starter's own reading of the answer, with the trust it is built with.
    try {
        checkComponentsPublished(
            readUpdateManifest(parseStrictJson(answer), trust, ManifestRules{platformName, loopback}));
    } catch (const Error& error) {
        throw ToolError("the answer fails the pre-starter's own check: " + explain(error));
    }
    writePublicFile(stage / "payload.json", payload, "payload");
    writePublicFile(stage / "answer.json", answer, "answer");

    folder.publish(files, stage / "payload.json", stage / "answer.json");

    for (const ReleaseFile& file : files) {
        std::cout << file.name.string() << "  " << file.size << " bytes\n";
    }
    if (signing) {
        std::cout << "bundle signature: " << *bundleEntry << " signed by " << signer << '\n';
    }
    std::cout << payloadPath(platformName).string() << "  the manifest payload\n"
              << answerPath(platformName).string() << "  sequence " << sequence << ", key " << key.keyId() << ", "
              << core.fileCount() << " core files\n"
              << "published in " << out.string() << '\n';
    return 0;
}

}  // namespace zarvo::release
