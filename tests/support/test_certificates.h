// A throwaway certificate authority and a server certificate for 127.0.0.1
// and localhost, made with the openssl command-line tool.
#pragma once

#include <filesystem>
#include <string>

namespace zarvo::test {

struct TestCertificates {
    std::filesystem::path caCertificate;      // ca.pem
    std::filesystem::path serverCertificate;  // server.pem, signed by the CA
    std::filesystem::path serverKey;          // server.key
};

// Whether the tool that makes them is on this machine.
bool canMakeTestCertificates();
// Writes the files into folder; raises std::runtime_error when openssl fails.
TestCertificates makeTestCertificates(const std::filesystem::path& folder);

// The system bundle libcurl verifies against, and a copy of it with the test
// CA appended (written into folder), to be bound over it in a private mount namespace.
inline constexpr const char* kSystemCertificateBundle = "/etc/ssl/certs/ca-certificates.crt";
std::filesystem::path writeBundleWithTestCa(const TestCertificates& certificates, const std::filesystem::path& folder);

// A self-signed certificate "CN=<commonName>" and its RSA key, as an operator's
// code-signing certificate; the key encrypted with password when one is given.
struct SigningCertificate {
    std::filesystem::path certificate;  // <name>.pem
    std::filesystem::path key;          // <name>.key
};
SigningCertificate makeSigningCertificate(const std::filesystem::path& folder, const std::string& name,
                                          const std::string& commonName, const std::string& password = "");

}  // namespace zarvo::test
