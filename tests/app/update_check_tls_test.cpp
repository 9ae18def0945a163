// The pre-starter's own bootstrap request over real HTTPS, verified against the
// system certificate store: the test CA is bound over that store only inside a
// private mount namespace of the pre-starter it runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/launcher_run.h"
#include "support/scripted_server.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"
#include "trust/strict_json.h"

namespace zarvo::test {
namespace {

TEST(UpdateCheckTls, VerifiesTheServiceAgainstTheSystemStore) {
    if (!canMakeTestCertificates()) {
        GTEST_SKIP() << "the openssl command-line tool is needed to make test certificates";
    }
    TempDir dir;
    auto certificates = makeTestCertificates(dir.path());
    TestKey key;
    writeFile(dir / "trust.json", writeCompactJson(key.trust()));
    ScriptedServer server({certificates.serverCertificate, certificates.serverKey});
    // The release files live on the same server; the missing core ends the
    // run right after the check, which is all this test is about.
    Json::Value manifest = compatibleManifest(3);
    manifest["components"]["core"]["url"] = server.url("/files/core");
    server.answer("/files/core", {jsonAnswer(404, "{}")});
    server.answer("/api/v1/bootstrap", {jsonAnswer(200, writeCompactJson(key.sign(manifest)))});
    ASSERT_EQ(server.origin().rfind("https://", 0), 0u);

    // HTTPS only, as a release build runs: no loopback exception.
    LauncherRun launcher(dir / "data", server.origin(), dir / "trust.json");
    launcher.allowLoopbackHttp = false;
    const std::vector<std::string> arguments = launcher.arguments();

    auto untrusted = launcher.run();
    EXPECT_EQ(untrusted.exitCode, 1);
    EXPECT_EQ(untrusted.standardError, "Не удалось связаться с сервером. Проверьте подключение.\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "data/bootstrap-state.json"));

    if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/unshare")) {
        GTEST_SKIP() << "trusting the test CA needs root and unshare (a private mount namespace over "
                     << kSystemCertificateBundle << ")";
    }
    auto bundle = writeBundleWithTestCa(certificates, dir.path());
    std::vector<std::string> namespaced = {
        "-m", "--", "/bin/sh", "-c", "mount --bind \"$0\" \"$1\" || exit 97; shift; exec \"$@\"", bundle.string(),
        kSystemCertificateBundle, launcherPath().string()};
    namespaced.insert(namespaced.end(), arguments.begin(), arguments.end());
    auto trusted = runChild("/usr/bin/unshare", namespaced);
    if (trusted.exitCode == 97 || trusted.standardError.rfind("unshare:", 0) == 0) {
        GTEST_SKIP() << "no private mount namespace can be made here: " << trusted.standardError;
    }
    EXPECT_EQ(trusted.exitCode, 1);
    EXPECT_EQ(trusted.standardError, "Файл недоступен: HTTP 404\n");
    EXPECT_EQ(trusted.standardOutput, "Проверка обновлений\nЗагрузка приложения\n");
    EXPECT_EQ(parseStrictJson(readFile(dir / "data/bootstrap-state.json"))["highestSequence"].asInt64(), 3);
    // Only the trusted run got through the handshake.
    EXPECT_EQ(server.requestsFor("/api/v1/bootstrap").size(), 1u);
}

}  // namespace
}  // namespace zarvo::test
