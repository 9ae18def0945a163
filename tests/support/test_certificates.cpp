#include "support/test_certificates.h"

#include <stdexcept>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace zarvo::test {
namespace {

constexpr const char* kOpenssl = "/usr/bin/openssl";

void openssl(const std::filesystem::path& folder, const std::vector<std::string>& arguments) {
    ChildOptions options;
    options.workingDirectory = folder;
    options.timeout = std::chrono::seconds(60);
    auto result = runChild(kOpenssl, arguments, options);
    if (result.exitCode != 0) {
        throw std::runtime_error("openssl failed: " + result.standardError);
    }
}

}  // namespace

bool canMakeTestCertificates() { return std::filesystem::exists(kOpenssl); }

TestCertificates makeTestCertificates(const std::filesystem::path& folder) {
    writeFile(folder / "server.ext",
              "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
              "extendedKeyUsage=serverAuth\n");
    openssl(folder, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                     "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Loopback Test CA", "-addext",
                     "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
    openssl(folder, {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                     "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1"});
    openssl(folder, {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                     "-out", "server.pem", "-days", "2", "-extfile", "server.ext"});
    return {folder / "ca.pem", folder / "server.pem", folder / "server.key"};
}

std::filesystem::path writeBundleWithTestCa(const TestCertificates& certificates, const std::filesystem::path& folder) {
    auto bundle = folder / "bundle.pem";
    writeFile(bundle, readFile(kSystemCertificateBundle) + "\n" + readFile(certificates.caCertificate));
    return bundle;
}

SigningCertificate makeSigningCertificate(const std::filesystem::path& folder, const std::string& name,
                                          const std::string& commonName, const std::string& password) {
    SigningCertificate made{folder / (name + ".pem"), folder / (name + ".key")};
    std::vector<std::string> arguments = {"req", "-x509", "-newkey", "rsa:2048", "-keyout", made.key.string(),
                                          "-out", made.certificate.string(), "-days", "2", "-subj",
                                          "/CN=" + commonName};
    if (password.empty()) {
        arguments.push_back("-nodes");
    } else {
        writeFile(folder / (name + ".password"), password + "\n");
        arguments.insert(arguments.end(), {"-passout", "file:" + (folder / (name + ".password")).string()});
    }
    openssl(folder, arguments);
    return made;
}

}  // namespace zarvo::test
