// pack with real folders: reproducible archives, the file list and digests a
// pre-starter checks, the sequence rules, and refusals that change nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "support/release_fixture.h"
#include "trust/hashing.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kBase = "http://127.0.0.1:9";

// What this build's --version says after the program's name.
std::string launcherVersion() {
    ChildResult result = runChild(launcherPath(), {"--version"});
    EXPECT_EQ(result.exitCode, 0);
    std::string text = result.standardOutput;
    return text.substr(text.find(' ') + 1, text.size() - text.find(' ') - 2);
}

std::map<std::string, std::string> archivesOf(const fs::path& out) { return folderSnapshot(out / "files"); }

class PackTest : public ::testing::Test {
protected:
    ReleaseInputs inputs;
    fs::path out = inputs.dir / "www";
};

TEST_F(PackTest, SameInputsGiveTheSameArchivesAndEachPackAHigherSequence) {
    ChildResult first = inputs.pack(kBase, out);
    ASSERT_EQ(first.exitCode, 0) << first.standardError;
    const Json::Value payload = inputs.publishedPayload(out);
    EXPECT_EQ(readFile(out / "manifests/linux.json"), writeCompactJson(payload));
    EXPECT_EQ(payload["sequence"].asInt64(), 1);
    EXPECT_EQ(payload["contentKey"], parseStrictJson(readFile(inputs.dir / "content-trust.json")));

    const Json::Value& core = payload["components"]["core"];
    const std::string archive = "files/core-" + core["sha256"].asString() + ".tar.gz";
    EXPECT_EQ(core["url"].asString(), kBase + "/" + archive);
    EXPECT_EQ(hashFile(out / archive, "sha256"), core["sha256"].asString());
    EXPECT_EQ(core["size"].asUInt64(), fs::file_size(out / archive));
    EXPECT_EQ(core["version"].asString(), "1.2.3");
    Json::Value files(Json::objectValue);
    files["bin/core"] = hashFile(inputs.core / "bin/core", "sha256");
    files["share/readme.txt"] = hashFile(inputs.core / "share/readme.txt", "sha256");
    EXPECT_EQ(core["files"], files);
    const Json::Value& ui = payload["components"]["ui"];
    EXPECT_EQ(readFile(out / ("files/ui-" + ui["sha256"].asString() + ".rcc")), "interface package");

    // No time in the gzip header; files only, sorted, owner 0 and time 0 for every entry.
    EXPECT_EQ(readFile(out / archive).substr(4, 4), std::string(4, '\0'));
    ChildOptions utc;
    utc.environment["TZ"] = "UTC";
    ChildResult listed = runChild("/bin/tar", {"-tvzf", (out / archive).string(), "--numeric-owner"}, utc);
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(countOf(listed.standardOutput, " 0/0 "), 2u) << listed.standardOutput;
    EXPECT_EQ(countOf(listed.standardOutput, " 1970-01-01 00:00 "), 2u) << listed.standardOutput;
    EXPECT_EQ(runChild("/bin/tar", {"-tzf", (out / archive).string()}).standardOutput,
              "bin/core\nshare/readme.txt\n");

    // Another folder, later: byte for byte the same archives.
    ASSERT_EQ(inputs.pack(kBase, inputs.dir / "again").exitCode, 0);
    EXPECT_EQ(archivesOf(inputs.dir / "again"), archivesOf(out));

    // Into the same folder: the files stay, the answer moves on.
    const auto archives = archivesOf(out);
    ASSERT_EQ(inputs.pack(kBase, out).exitCode, 0);
    EXPECT_EQ(archivesOf(out), archives);
    EXPECT_EQ(inputs.publishedPayload(out)["sequence"].asInt64(), 2);

    // An explicit sequence must be higher than the published one.
    const auto published = folderSnapshot(out);
    for (const char* sequence : {"2", "1", "-5"}) {
        ChildResult refused = inputs.pack(kBase, out, {"--sequence", sequence});
        EXPECT_EQ(refused.exitCode, 1) << sequence;
        EXPECT_NE(refused.standardError.find("--sequence"), std::string::npos) << refused.standardError;
    }
    EXPECT_EQ(folderSnapshot(out), published);
    ASSERT_EQ(inputs.pack(kBase, out, {"--sequence", "40"}).exitCode, 0);
    ASSERT_EQ(inputs.pack(kBase, out).exitCode, 0);
    EXPECT_EQ(inputs.publishedPayload(out)["sequence"].asInt64(), 41);

    // A release for Windows beside it: its own answer and sequence, the same files.
    const std::string linuxAnswer = readFile(out / "api/v1/bootstrap/linux.json");
    ASSERT_EQ(inputs.pack(kBase, out, {"--platform", "windows"}).exitCode, 0);
    const Json::Value windows = parseStrictJson(readFile(out / "manifests/windows.json"));
    EXPECT_EQ(windows["platform"].asString(), "windows");
    EXPECT_EQ(windows["sequence"].asInt64(), 1);
    EXPECT_EQ(windows["components"]["core"], payload["components"]["core"]);
    EXPECT_EQ(readFile(out / "api/v1/bootstrap/linux.json"), linuxAnswer);
    EXPECT_EQ(archivesOf(out), archives);
    ChildResult unknown = inputs.pack(kBase, out, {"--platform", "macos"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.standardError.find("--platform is 'linux' or 'windows'"), std::string::npos);
}

// Every file's member cut out of the archive is a tar.gz of that file alone,
// a long or non-ASCII name included, and the members follow each other with
// the end-of-archive blocks last, so the whole is an ordinary tar.gz.
TEST_F(PackTest, TheCoreArchiveHoldsOneGzipMemberPerFileAtItsListedRange) {
    const std::string longName = "share/" + std::string(120, 'd') + "/" + std::string(150, 'f');
    writeFile(inputs.core / longName, "long");
    writeFile(inputs.core / "share/файл.txt", "не ASCII");
    ChildResult packed = inputs.pack(kBase, out);
    ASSERT_EQ(packed.exitCode, 0) << packed.standardError;
    const Json::Value core = inputs.publishedPayload(out)["components"]["core"];
    const std::string archive = readFile(out / ("files/core-" + core["sha256"].asString() + ".tar.gz"));
    const Json::Value& ranges = core["fileRanges"];
    ASSERT_EQ(ranges.getMemberNames(), core["files"].getMemberNames());
    std::uint64_t end = 0;
    for (const std::string& name : ranges.getMemberNames()) {
        SCOPED_TRACE(name);
        const std::uint64_t offset = ranges[name][0].asUInt64();
        const std::uint64_t length = ranges[name][1].asUInt64();
        EXPECT_EQ(offset, end);  // in the byte order of the names, nothing between them
        end = offset + length;
        writeFile(inputs.dir / "member.tar.gz", archive.substr(offset, length));
        ChildResult listed = runChild("/bin/tar", {"-xOzf", (inputs.dir / "member.tar.gz").string(), name});
        EXPECT_EQ(listed.exitCode, 0) << listed.standardError;
        EXPECT_EQ(hashBytes(listed.standardOutput, "sha256"), core["files"][name].asString());
        EXPECT_EQ(runChild("/bin/tar", {"-tzf", (inputs.dir / "member.tar.gz").string()}).standardOutput, name + "\n");
    }
    // The last member: the two end-of-archive blocks.
    ASSERT_LT(end, archive.size());
    writeFile(inputs.dir / "last.gz", archive.substr(end));
    EXPECT_EQ(runChild("/bin/sh", {"-c", "gzip -dc \"$0\" | wc -c", (inputs.dir / "last.gz").string()}).standardOutput,
              "1024\n");
}

// Each fault on top of a published release: exit 1, a message naming the
// cause, the release folder unchanged and no private folder left beside it.
TEST_F(PackTest, RefusesWhatAPreStarterWouldRefuseAndChangesNothing) {
    struct Case {
        const char* name;
        std::function<void(ReleaseInputs&)> arrange;
        std::vector<std::string> extra;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"link", [](ReleaseInputs& in) { fs::create_symlink("core", in.core / "bin/link"); }, {},
         "'bin/link' in the core folder is a symbolic link"},
        {"fifo", [](ReleaseInputs& in) { ::mkfifo((in.core / "share/pipe").c_str(), 0600); }, {},
         "'share/pipe' in the core folder is a device, FIFO or socket"},
        {"case twin", [](ReleaseInputs& in) { writeFile(in.core / "share/README.txt", "x"); }, {},
         "'share/README.txt' and 'share/readme.txt' in the core folder differ only in letter case"},
        {"device name", [](ReleaseInputs& in) { writeFile(in.core / "share/con.txt", "x"); }, {},
         "the name 'share/con.txt' in the core folder is refused"},
        {"trailing dot", [](ReleaseInputs& in) { writeFile(in.core / "share/notes.", "x"); }, {},
         "the name 'share/notes.' in the core folder is refused"},
        {"entry not executable", [](ReleaseInputs& in) { ::chmod((in.core / "bin/core").c_str(), 0644); }, {},
         "the entry 'bin/core' in the core folder is not an executable regular file"},
        {"entry missing", [](ReleaseInputs&) {}, {"--core-entry", "bin/other"}, "has no 'bin/other'"},
        {"bundle link",
         [](ReleaseInputs& in) {
             writeFile(in.bundle / "bin/ZarvoLauncher", "#!/bin/sh\n");
             ::chmod((in.bundle / "bin/ZarvoLauncher").c_str(), 0755);
             fs::create_symlink("ZarvoLauncher", in.bundle / "bin/alias");
         },
         {"--bundle", "", "--bundle-entry", "bin/ZarvoLauncher"},
         "'bin/alias' in the bundle folder is a symbolic link"},
        {"bundle entry a script",
         [](ReleaseInputs& in) {
             writeFile(in.bundle / "bin/ZarvoLauncher", "#!/bin/sh\nexec /usr/bin/true\n");
             ::chmod((in.bundle / "bin/ZarvoLauncher").c_str(), 0755);
         },
         {"--bundle", "", "--bundle-entry", "bin/ZarvoLauncher"},
         "the bundle's entry 'bin/ZarvoLauncher' is a script (it begins with #!)"},
        {"empty interface package", [](ReleaseInputs& in) { writeFile(in.ui, ""); }, {}, "is empty"},
        {"missing core", [](ReleaseInputs& in) { fs::remove_all(in.core); }, {}, "is not a folder"},
        {"another key",
         [](ReleaseInputs& in) {
             fs::remove(in.secretKey);
             runReleaseTool({"keygen", "--secret-key", in.secretKey.string(), "--trust",
                             (in.dir / "other-trust.json").string()});
         },
         {}, "does not match the trust file"},
        {"shared secret key", [](ReleaseInputs& in) { ::chmod(in.secretKey.c_str(), 0640); }, {},
         "is accessible to other users"},
        {"secret key as content key", [](ReleaseInputs&) {}, {"--content-key", ""}, "is a secret key file"},
        {"unwritable output", [](ReleaseInputs& in) { writeFile(in.dir / "plain-file", "x"); }, {"--out", ""},
         "cannot create the release folder"},
    };
    for (const Case& fault : cases) {
        SCOPED_TRACE(fault.name);
        ReleaseInputs in;
        const fs::path release = in.dir / "www";
        ASSERT_EQ(in.pack(kBase, release).exitCode, 0);
        const auto published = folderSnapshot(release);
        fault.arrange(in);
        std::vector<std::string> extra = fault.extra;
        for (std::size_t i = 1; i < extra.size(); i += 2) {
            if (extra[i].empty()) {  // a value that needs the case's own folder
                extra[i] = extra[i - 1] == "--bundle"        ? in.bundle.string()
                           : extra[i - 1] == "--content-key" ? in.secretKey.string()
                                                              : (in.dir / "plain-file/www").string();
            }
        }
        ChildResult refused = in.pack(kBase, release, extra);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.standardOutput, "");
        EXPECT_NE(refused.standardError.find(fault.message), std::string::npos) << refused.standardError;
        EXPECT_EQ(folderSnapshot(release), published);
        for (const auto& entry : fs::directory_iterator(in.dir.path())) {
            EXPECT_FALSE(entry.path().filename().string().starts_with(".www.pack-")) << entry.path();
        }
    }
}

TEST_F(PackTest, NeverReplacesAPublishedFileWithOtherBytes) {
    ASSERT_EQ(inputs.pack(kBase, out).exitCode, 0);
    const Json::Value core = inputs.publishedPayload(out)["components"]["core"];
    const fs::path archive = out / ("files/core-" + core["sha256"].asString() + ".tar.gz");
    writeFile(archive, "damaged on the server");
    const auto published = folderSnapshot(out);

    ChildResult refused = inputs.pack(kBase, out);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.standardError.find("'" + archive.string() + "' is already published with other bytes"),
              std::string::npos)
        << refused.standardError;
    EXPECT_EQ(folderSnapshot(out), published);
}

TEST_F(PackTest, RefusesToReplaceAPublishedDocumentThatIsASecretKey) {
    ASSERT_EQ(inputs.pack(kBase, out).exitCode, 0);
    fs::copy_file(inputs.secretKey, out / "manifests/linux.json", fs::copy_options::overwrite_existing);
    const auto published = folderSnapshot(out);
    ChildResult refused = inputs.pack(kBase, out);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.standardError.find("is a secret key file; it is never replaced"), std::string::npos)
        << refused.standardError;
    EXPECT_EQ(folderSnapshot(out), published);
}

// The bundle's program with and without debug sections, made from this build with objcopy.
TEST_F(PackTest, StampsTheBundleVersionAndWarnsOfDebugSections) {
    inputs.addBundle();
    const fs::path program = inputs.bundle / "bin/ZarvoLauncher";
    const std::string version = launcherVersion();
    ASSERT_EQ(runChild("/usr/bin/objcopy", {"--strip-debug", program.string()}).exitCode, 0);
    const struct {
        const char* title;
        std::vector<std::string> extra;
        bool debug;
        std::string stamped;
    } cases[] = {
        {"stripped, version read from the program", {}, false, version},
        {"version given", {"--bootstrap-version", "7.0.1-rc1"}, false, "7.0.1-rc1"},
        {"debug sections", {}, true, version},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        if (c.debug) {
            writeFile(inputs.dir / "debug.bin", "debug information");
            ASSERT_EQ(runChild("/usr/bin/objcopy", {"--add-section", ".debug_info=" + (inputs.dir / "debug.bin").string(),
                                                    program.string()})
                          .exitCode,
                      0);
        }
        fs::remove_all(out);
        ChildResult packed = inputs.pack(kBase, out, c.extra);
        ASSERT_EQ(packed.exitCode, 0) << packed.standardError;
        const Json::Value bootstrap = inputs.publishedPayload(out)["components"]["bootstrap"];
        EXPECT_EQ(bootstrap["version"], c.stamped);
        // The bundle's file list, in the form of the core's.
        Json::Value files(Json::objectValue);
        files["bin/ZarvoLauncher"] = hashFile(program, "sha256");
        EXPECT_EQ(bootstrap["files"], files);
        const std::string warning = "zarvo-release: warning: the bundle's program 'bin/ZarvoLauncher' carries debug "
                                    "sections (.debug_info)";
        EXPECT_EQ(packed.standardError.find(warning) != std::string::npos, c.debug) << packed.standardError;
    }
    inputs.withBundle = false;
    ChildResult alone = inputs.pack(kBase, out, {"--bootstrap-version", "1.0"});
    EXPECT_EQ(alone.exitCode, 2);
    EXPECT_NE(alone.standardError.find("--bootstrap-version needs --bundle"), std::string::npos);
}

}  // namespace
}  // namespace zarvo::test
