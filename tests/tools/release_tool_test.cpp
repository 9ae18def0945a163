// The release tool run as a child process: a key made and a manifest signed
// by it open in the pre-starter's own envelope check; bad input is refused.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"

namespace {

namespace fs = std::filesystem;
using zarvo::test::ChildResult;
using zarvo::test::readFile;
using zarvo::test::runChild;
using zarvo::test::TempDir;
using zarvo::test::writeFile;

const char* const kManifest = "{\n  \"type\": \"bootstrap\",\n  \"sequence\": 42,\n  \"name\": \"Релиз\"\n}\n";

ChildResult runTool(const std::vector<std::string>& arguments) {
    return runChild(ZARVO_RELEASE_TOOL_PATH, arguments);
}

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A refusal: the given exit code, nothing on standard output, an English message naming the cause.
void expectRefused(const ChildResult& result, int exitCode, const std::string& part) {
    EXPECT_EQ(result.exitCode, exitCode) << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_NE(result.standardError.find(part), std::string::npos) << result.standardError;
    EXPECT_EQ(result.standardError.rfind("zarvo-release: ", 0), 0u) << result.standardError;
    EXPECT_TRUE(isAscii(result.standardError)) << result.standardError;
}

class ReleaseTool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(sodium_init(), 0); }

    // Makes a key pair in the temporary folder and returns the printed public key.
    std::string keygen() {
        ChildResult result = runTool({"keygen", "--secret-key", secret_.string(), "--trust", trust_.string()});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        return result.standardOutput;
    }

    TempDir dir_;
    fs::path secret_ = dir_ / "keys" / "release-key.json";
    fs::path trust_ = dir_ / "keys" / "code-trust.json";
};

TEST_F(ReleaseTool, KeygenAndSignRoundTrip) {
    mode_t previous = umask(0);  // a careless umask must not widen the secret file
    std::string printed = keygen();
    umask(previous);

    ASSERT_EQ(printed.size(), 45u);
    ASSERT_EQ(printed.back(), '\n');
    std::string publicKey = printed.substr(0, 44);
    struct stat info {};
    ASSERT_EQ(stat(secret_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    std::string trustText = readFile(trust_);
    Json::Value trust = zarvo::parseStrictJson(trustText);
    EXPECT_EQ(trustText, zarvo::writeCompactJson(trust));
    EXPECT_EQ(trust.getMemberNames(), (std::vector<std::string>{"keyId", "publicKey", "scope"}));
    EXPECT_EQ(trust["publicKey"].asString(), publicKey);
    EXPECT_EQ(trust["scope"].asString(), "code");
    EXPECT_EQ(trust["keyId"].asString(), zarvo::keyIdFor(zarvo::decodeBase64(publicKey)));
    EXPECT_EQ(readFile(secret_).find(publicKey) != std::string::npos, true);

    writeFile(dir_ / "manifest.json", kManifest);
    auto out = dir_ / "www" / "bootstrap";
    ChildResult signedToFile = runTool({"sign", "--secret-key", secret_.string(), "--payload",
                                        (dir_ / "manifest.json").string(), "--out", out.string()});
    ASSERT_EQ(signedToFile.exitCode, 0) << signedToFile.standardError;
    EXPECT_EQ(signedToFile.standardOutput, "");

    std::string envelopeText = readFile(out);
    Json::Value envelope = zarvo::parseStrictJson(envelopeText);
    EXPECT_EQ(envelopeText, zarvo::writeCompactJson(envelope));
    EXPECT_EQ(envelope.getMemberNames(), (std::vector<std::string>{"keyId", "payload", "schemaVersion", "signature"}));
    EXPECT_EQ(envelope["schemaVersion"], Json::Value(1));
    // Exactly the file's bytes are signed, blanks and all.
    EXPECT_EQ(zarvo::decodeBase64(envelope["payload"].asString()), kManifest);
    Json::Value payload = zarvo::openSignedEnvelope(envelope, trust, "code");
    EXPECT_EQ(payload["sequence"].asInt(), 42);
    EXPECT_EQ(payload["name"].asString(), "Релиз");

    // Ed25519 signatures are deterministic: standard output carries the same envelope.
    ChildResult signedToOutput =
        runTool({"sign", "--secret-key=" + secret_.string(), "--payload=" + (dir_ / "manifest.json").string()});
    ASSERT_EQ(signedToOutput.exitCode, 0) << signedToOutput.standardError;
    EXPECT_EQ(signedToOutput.standardOutput, envelopeText + "\n");

    // A second key's trust object does not open the first key's envelope.
    fs::path otherSecret = dir_ / "other-key.json";
    fs::path otherTrust = dir_ / "other-trust.json";
    ASSERT_EQ(runTool({"keygen", "--secret-key", otherSecret.string(), "--trust", otherTrust.string()}).exitCode, 0);
    EXPECT_THROW(zarvo::openSignedEnvelope(envelope, zarvo::parseStrictJson(readFile(otherTrust)), "code"),
                 zarvo::Error);
}

TEST_F(ReleaseTool, KeygenNeverOverwritesAKey) {
    writeFile(secret_, "precious");
    ChildResult result = runTool({"keygen", "--secret-key", secret_.string(), "--trust", trust_.string()});
    expectRefused(result, 1, "already exists");
    EXPECT_EQ(readFile(secret_), "precious");
    EXPECT_FALSE(fs::exists(trust_));

    // A link in the key's place is not followed.
    fs::create_symlink(dir_ / "elsewhere", dir_ / "link-key.json");
    result = runTool({"keygen", "--secret-key", (dir_ / "link-key.json").string(), "--trust", trust_.string()});
    EXPECT_NE(result.exitCode, 0);
    EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));

    // When the trust file cannot be written, no orphaned secret key stays behind.
    fs::create_directories(dir_ / "trust-is-a-folder" / "x");
    result = runTool({"keygen", "--secret-key", (dir_ / "new-key.json").string(), "--trust",
                      (dir_ / "trust-is-a-folder").string()});
    expectRefused(result, 1, "trust file");
    EXPECT_FALSE(fs::exists(dir_ / "new-key.json"));
}

TEST_F(ReleaseTool, SignRefusesBadKeysAndPayloads) {
    keygen();
    auto payload = dir_ / "manifest.json";
    writeFile(payload, kManifest);
    auto out = dir_ / "envelope.json";
    auto sign = [&](const fs::path& key, const fs::path& payloadPath) {
        return runTool({"sign", "--secret-key", key.string(), "--payload", payloadPath.string(), "--out", out.string()});
    };

    expectRefused(sign(dir_ / "missing-key.json", payload), 1, "cannot read the secret key file");
    // The trust file is public, so it is refused before it is read; a private copy holds no seed.
    expectRefused(sign(trust_, payload), 1, "is accessible to other users");
    auto privateTrust = dir_ / "private-trust.json";
    fs::copy_file(trust_, privateTrust);
    chmod(privateTrust.c_str(), 0600);
    expectRefused(sign(privateTrust, payload), 1, "is not a zarvo-release secret key file");
    // Signing publishes the payload, so a secret key in its place is never signed.
    expectRefused(sign(secret_, secret_), 1, "is a secret key file; nothing was signed");
    // A content key signs no releases.
    ASSERT_EQ(runTool({"keygen", "--scope", "content", "--secret-key", (dir_ / "content-key.json").string(),
                       "--trust", (dir_ / "content-trust.json").string()})
                  .exitCode,
              0);
    expectRefused(sign(dir_ / "content-key.json", payload), 1, "releases are signed with a \"code\" key");
    auto garbage = dir_ / "garbage.json";
    writeFile(garbage, "not json at all");
    chmod(garbage.c_str(), 0600);
    expectRefused(sign(garbage, payload), 1, "not valid JSON");

    // A damaged seed still decodes to some key; it must not sign under the stored key id.
    Json::Value key = zarvo::parseStrictJson(readFile(secret_));
    std::string seed = zarvo::decodeBase64(key["seed"].asString());
    seed[0] = static_cast<char>(seed[0] ^ 1);
    std::string encoded(sodium_base64_encoded_len(seed.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(encoded.data(), encoded.size(), reinterpret_cast<const unsigned char*>(seed.data()),
                      seed.size(), sodium_base64_VARIANT_ORIGINAL);
    encoded.pop_back();
    key["seed"] = encoded;
    auto damaged = dir_ / "damaged-key.json";
    writeFile(damaged, zarvo::writeCompactJson(key));
    chmod(damaged.c_str(), 0600);
    expectRefused(sign(damaged, payload), 1, "does not match");

    auto shared = dir_ / "shared-key.json";
    fs::copy_file(secret_, shared);
    chmod(shared.c_str(), 0644);
    expectRefused(sign(shared, payload), 1, "accessible to other users");

    expectRefused(sign(secret_, dir_ / "missing.json"), 1, "cannot read the payload");
    for (const char* text : {"", "{\"a\":1,\"a\":2}", "{\"a\":1} trailing", "{\"a\":", "plain text"}) {
        SCOPED_TRACE(text);
        writeFile(payload, text);
        expectRefused(sign(secret_, payload), 1, "is not strict JSON");
    }
    EXPECT_FALSE(fs::exists(out));  // no refusal wrote an envelope
}

TEST_F(ReleaseTool, NeverReplacesASecretKeyOrAFileThatIsNotAPublicDocument) {
    keygen();
    const fs::path payload = dir_ / "manifest.json";
    writeFile(payload, kManifest);
    const fs::path contentKey = dir_ / "keys" / "content-key.json";
    ASSERT_EQ(runTool({"keygen", "--scope", "content", "--secret-key", contentKey.string(), "--trust",
                       (dir_ / "content-trust.json").string()})
                  .exitCode,
              0);
    const fs::path notes = dir_ / "notes.txt";
    writeFile(notes, "not a document of the tool\n");
    const fs::path alias = dir_ / "alias-key.json";
    fs::create_hard_link(secret_, alias);
    auto sign = [&](const fs::path& out) {
        return runTool({"sign", "--secret-key", secret_.string(), "--payload", payload.string(), "--out", out.string()});
    };
    auto newKey = [&](const fs::path& trust) {
        return runTool({"keygen", "--scope", "content", "--secret-key", (dir_ / "keys" / "new-key.json").string(),
                        "--trust", trust.string()});
    };
    const struct {
        const char* title;
        std::function<ChildResult()> run;
        std::string refusal;
    } cases[] = {
        {"sign over its own key", [&] { return sign(secret_); }, "is the --secret-key file"},
        {"sign over a link to its own key", [&] { return sign(alias); }, "is the --secret-key file"},
        {"sign over another key", [&] { return sign(contentKey); }, "is a secret key file; it is never replaced"},
        {"sign over another file", [&] { return sign(notes); }, "is not a public document of this tool"},
        {"keygen over the release key", [&] { return newKey(secret_); }, "is a secret key file; it is never replaced"},
        {"keygen over another file", [&] { return newKey(notes); }, "is not a public document of this tool"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const std::string key = readFile(secret_);
        const std::string other = readFile(contentKey);
        expectRefused(c.run(), 1, c.refusal);
        EXPECT_EQ(readFile(secret_), key);
        EXPECT_EQ(readFile(contentKey), other);
        EXPECT_EQ(readFile(notes), "not a document of the tool\n");
        EXPECT_FALSE(fs::exists(dir_ / "keys" / "new-key.json"));  // no key left without its trust file
    }
    // Public documents of the tool are replaced as before.
    const fs::path envelope = dir_ / "envelope.json";
    ASSERT_EQ(sign(envelope).exitCode, 0);
    EXPECT_EQ(sign(envelope).exitCode, 0);
    EXPECT_EQ(newKey(trust_).exitCode, 0);
    EXPECT_EQ(zarvo::parseStrictJson(readFile(trust_))["scope"], "content");
}

TEST_F(ReleaseTool, CommandLineMistakesAndHelp) {
    ChildResult help = runTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* command : {"keygen", "sign", "pack", "verify"}) {
        EXPECT_NE(help.standardOutput.find(std::string("\n  zarvo-release ") + command + " --"), std::string::npos)
            << command;
    }
    // Each command's own help says what it does.
    const std::vector<std::pair<std::vector<std::string>, std::string>> topics = {
        {{"keygen", "--help"}, "Makes a new Ed25519 signing key."},
        {{"sign", "-h"}, "Signs exactly the bytes of the payload"},
        {{"pack", "--out", "x", "--help"}, "Builds a release into the folder --out"},
        {{"help", "verify"}, "Checks a published release the way a pre-starter does"},
    };
    for (const auto& [arguments, text] : topics) {
        ChildResult topic = runTool(arguments);
        EXPECT_EQ(topic.exitCode, 0);
        EXPECT_NE(topic.standardOutput.find(text), std::string::npos) << topic.standardOutput;
        EXPECT_EQ(topic.standardOutput.find("Run 'zarvo-release COMMAND --help'"), std::string::npos);
    }

    expectRefused(runTool({}), 2, "no command given");
    expectRefused(runTool({"publish"}), 2, "unknown command 'publish'");
    expectRefused(runTool({"keygen", "--secret-key", "a", "--trust", "b", "--force", "1"}), 2,
                  "unknown option --force");
    expectRefused(runTool({"keygen", "--out", "a"}), 2, "unknown option --out");
    expectRefused(runTool({"keygen", "--secret-key", (dir_ / "k").string()}), 2, "missing required option --trust");
    expectRefused(runTool({"sign", "--secret-key"}), 2, "needs a value");
    expectRefused(runTool({"sign", "--payload", "a", "--payload", "b"}), 2, "given twice");
    expectRefused(runTool({"sign", "stray"}), 2, "unexpected argument 'stray'");
    expectRefused(runTool({"verify", "--allow-loopback-http=yes"}), 2, "takes no value");
    expectRefused(runTool({"pack", "--sequence", "ten"}), 2, "needs a whole number");
    expectRefused(runTool({"keygen", "--scope", "all", "--secret-key", "a", "--trust", "b"}), 2, "--scope must be");
    expectRefused(runTool({"verify", "--trust", (dir_ / "t").string()}), 2, "give either --service-url");
    expectRefused(runTool({"keygen", "--secret-key", (dir_ / "same").string(), "--trust", (dir_ / "same").string()}),
                  2, "different files");
    EXPECT_TRUE(fs::is_empty(dir_.path()));  // no mistake created a file
}

}  // namespace
