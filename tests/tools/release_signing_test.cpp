// pack --platform windows signing the bundle's program with Authenticode
// through osslsigncode, and verify saying who signed it: an operator's
// self-signed certificate made with openssl, and a small real PE program.
#include <gtest/gtest.h>

#include <cstdint>

#include "support/release_fixture.h"
#include "support/test_certificates.h"
#include "support/windows_program.h"
#include "trust/hashing.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kBase = "http://127.0.0.1:9";
const std::string kEntry = "bin/ZarvoLauncher.exe";
constexpr const char* kOsslsigncode = "/usr/bin/osslsigncode";
// Nothing on this machine trusts a self-signed certificate.
const std::string kSigner = "CN=Zarvo Test Operator (chain not trusted: self-signed certificate)";

std::uint32_t littleEndian32(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes.at(offset + i))) << (8 * i);
    }
    return value;
}

class SigningTest : public ::testing::Test {
protected:
    void SetUp() override {
        // tools/setup installs both; under CI a skip fails the run.
        if (!fs::exists(kOsslsigncode) || !canMakeTestCertificates()) {
            GTEST_SKIP() << "osslsigncode or openssl is not installed (tools/setup installs them)";
        }
        operatorCertificate = makeSigningCertificate(inputs.dir.path(), "operator", "Zarvo Test Operator");
        fs::create_directories(inputs.bundle / "bin");
        writeProgram(original);
        inputs.withBundle = true;
    }

    void writeProgram(const std::string& bytes) const {
        writeFile(program, bytes);
        fs::permissions(program, fs::perms::owner_exec, fs::perm_options::add);
    }

    std::vector<std::string> signedWith(const SigningCertificate& certificate) const {
        return {"--sign-cert", certificate.certificate.string(), "--sign-key", certificate.key.string()};
    }

    // pack with the program as the bundle's entry and these options added,
    // for Windows unless they name another platform.
    ChildResult pack(const fs::path& out, const std::vector<std::string>& extra = {},
                     const ChildOptions& options = {}) const {
        std::vector<std::string> arguments = inputs.packArguments(kBase, out);
        if (inputs.withBundle) {
            *(std::find(arguments.begin(), arguments.end(), "--bundle-entry") + 1) = kEntry;
        }
        if (std::find(extra.begin(), extra.end(), "--platform") == extra.end()) {
            arguments.insert(arguments.end(), {"--platform", "windows"});
        }
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runChild(ZARVO_RELEASE_TOOL_PATH, arguments, options);
    }

    ChildResult verify(const fs::path& out, const ChildOptions& options = {}) const {
        return runChild(ZARVO_RELEASE_TOOL_PATH,
                        {"verify", "--trust", inputs.trust.string(), "--answer",
                         (out / "api/v1/bootstrap/windows.json").string(), "--files", (out / "files").string(),
                         "--platform", "windows", "--allow-loopback-http"},
                        options);
    }

    Json::Value bootstrapOf(const fs::path& out) const {
        return parseStrictJson(readFile(out / "manifests/windows.json"))["components"]["bootstrap"];
    }

    // The program as players unpack it from the published bundle.
    std::string shippedProgram(const fs::path& out, const fs::path& folder) const {
        fs::create_directories(folder);
        const fs::path archive = out / ("files/bootstrap-" + bootstrapOf(out)["sha256"].asString() + ".tar.gz");
        EXPECT_EQ(runChild("/bin/tar", {"-xzf", archive.string(), "-C", folder.string()}).exitCode, 0);
        return readFile(folder / kEntry);
    }

    ReleaseInputs inputs;
    fs::path program = inputs.bundle / kEntry;
    std::string original = minimalWindowsProgram("version 1");
    SigningCertificate operatorCertificate;
};

TEST_F(SigningTest, PackSignsACopyOfTheProgramBeforeTheBundleIsDigested) {
    const auto inputTree = folderSnapshot(inputs.bundle);
    const fs::path out = inputs.dir / "www";
    ChildResult packed = pack(out, signedWith(operatorCertificate));
    ASSERT_EQ(packed.exitCode, 0) << packed.standardError;
    EXPECT_NE(packed.standardOutput.find("bundle signature: " + kEntry + " signed by " + kSigner), std::string::npos)
        << packed.standardOutput;
    EXPECT_EQ(folderSnapshot(inputs.bundle), inputTree);

    const fs::path unpacked = inputs.dir / "unpacked";
    const std::string shipped = shippedProgram(out, unpacked);
    // The code is the operator's; the PE security directory (entry 4) now points at a signature.
    EXPECT_EQ(shipped.substr(0x200, 0x200), original.substr(0x200, 0x200));
    const std::size_t securityDirectory = 0x40 + 24 + 112 + 4 * 8;
    EXPECT_EQ(littleEndian32(original, securityDirectory + 4), 0u);
    EXPECT_GT(littleEndian32(shipped, securityDirectory + 4), 0u);
    EXPECT_EQ(littleEndian32(shipped, securityDirectory) + littleEndian32(shipped, securityDirectory + 4),
              shipped.size());
    EXPECT_EQ(bootstrapOf(out)["files"][kEntry].asString(), hashFile(unpacked / kEntry, "sha256"));

    // An encrypted key opened with the password from its file.
    const SigningCertificate locked =
        makeSigningCertificate(inputs.dir.path(), "locked", "Zarvo Locked Operator", "correct horse");
    std::vector<std::string> withPassword = signedWith(locked);
    withPassword.insert(withPassword.end(),
                        {"--sign-key-password-file", (inputs.dir / "locked.password").string()});
    ChildResult unlocked = pack(inputs.dir / "www-locked", withPassword);
    ASSERT_EQ(unlocked.exitCode, 0) << unlocked.standardError;
    EXPECT_NE(unlocked.standardOutput.find("signed by CN=Zarvo Locked Operator"), std::string::npos)
        << unlocked.standardOutput;
}

TEST_F(SigningTest, VerifySaysWhetherAndByWhomTheProgramIsSigned) {
    ASSERT_EQ(pack(inputs.dir / "signed", signedWith(operatorCertificate)).exitCode, 0);
    const std::string signedProgram = shippedProgram(inputs.dir / "signed", inputs.dir / "unpacked");
    std::string changed = signedProgram;
    changed[0x201] = 'V';  // the code section, after signing; the new bundle's digest still fits

    ChildOptions withoutSigner;
    withoutSigner.environment["PATH"] = "/nonexistent";
    const struct {
        const char* title;
        std::string bytes;
        ChildOptions options;
        int exitCode;
        std::string line;
    } cases[] = {
        {"signed", signedProgram, {}, 0, "ok    bundle signature: signed by " + kSigner},
        {"unsigned", original, {}, 0, "ok    bundle signature: unsigned"},
        {"changed after signing", changed, {}, 1,
         "FAIL  bundle signature: broken: the program's bytes are not the ones that were signed"},
        {"no osslsigncode", signedProgram, withoutSigner, 0,
         "note  bundle signature: not checked: osslsigncode is not installed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        writeProgram(c.bytes);
        const fs::path out = inputs.dir / ("www-" + std::string(c.title));
        ASSERT_EQ(pack(out).exitCode, 0);
        ChildResult verified = verify(out, c.options);
        EXPECT_EQ(verified.exitCode, c.exitCode) << verified.standardOutput << verified.standardError;
        EXPECT_NE(verified.standardOutput.find(c.line), std::string::npos) << verified.standardOutput;
    }
}

TEST_F(SigningTest, RefusalsPublishNothingAndLeaveTheBundleAsItIs) {
    const SigningCertificate other = makeSigningCertificate(inputs.dir.path(), "other", "Someone Else");
    const SigningCertificate locked = makeSigningCertificate(inputs.dir.path(), "locked", "Locked", "secret words");
    const std::string certificate = operatorCertificate.certificate.string();
    const std::string key = operatorCertificate.key.string();
    ChildOptions withoutSigner;
    withoutSigner.environment["PATH"] = "/nonexistent";
    fs::copy_file(operatorCertificate.key, inputs.core / "share/operator.key");
    const auto inputTree = folderSnapshot(inputs.bundle);
    const struct {
        const char* title;
        std::vector<std::string> options;
        bool withBundle;
        ChildOptions run;
        int exitCode;
        std::string message;
    } cases[] = {
        {"certificate without key", {"--sign-cert", certificate}, true, {}, 2,
         "--sign-cert and --sign-key go together"},
        {"key without certificate", {"--sign-key", key}, true, {}, 2, "--sign-cert and --sign-key go together"},
        {"password file without certificate", {"--sign-key-password-file", key}, true, {}, 2,
         "--sign-key-password-file needs --sign-cert and --sign-key"},
        {"a Linux release", {"--sign-cert", certificate, "--sign-key", key, "--platform", "linux"}, true, {}, 2,
         "it needs --platform windows"},
        {"no bundle", {"--sign-cert", certificate, "--sign-key", key}, false, {}, 2,
         "it needs --bundle and --bundle-entry"},
        {"a missing certificate", {"--sign-cert", certificate + ".gone", "--sign-key", key}, true, {}, 1,
         "is missing or not a regular file"},
        {"a key that is not the certificate's", {"--sign-cert", certificate, "--sign-key", other.key.string()}, true,
         {}, 1, "the key is not the certificate's; nothing was changed. osslsigncode said:"},
        {"an encrypted key without its password", signedWith(locked), true, {}, 1,
         "its password (--sign-key-password-file) is missing or wrong"},
        {"no osslsigncode", {"--sign-cert", certificate, "--sign-key", key}, true, withoutSigner, 1,
         "osslsigncode is not installed"},
        {"a key in the core folder",
         {"--sign-cert", certificate, "--sign-key", (inputs.core / "share/../share/operator.key").string()}, true, {},
         1, "which is published to every player"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        inputs.withBundle = c.withBundle;
        const fs::path out = inputs.dir / ("www-" + std::string(c.title));
        ChildResult refused = pack(out, c.options, c.run);
        EXPECT_EQ(refused.exitCode, c.exitCode) << refused.standardOutput;
        EXPECT_NE(refused.standardError.find(c.message), std::string::npos) << refused.standardError;
        EXPECT_FALSE(fs::exists(out));
        EXPECT_EQ(folderSnapshot(inputs.bundle), inputTree);
    }
}

}  // namespace
}  // namespace zarvo::test
