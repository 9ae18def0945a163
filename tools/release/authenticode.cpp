// Authenticode through osslsigncode, run as a child process with an argument
// vector; what it prints is read back from a file in a private folder.
#include "authenticode.h"

#include <chrono>
#include <sstream>
#include <vector>

#include "external_program.h"

namespace zarvo::release {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSigner = "osslsigncode";
// The program's name in its signature, which Windows shows in its security prompts.
constexpr const char* kDescription = "Zarvo Launcher";
// A time-stamp service or a certificate's revocation list may be slow to answer.
constexpr std::chrono::seconds kTimeLimit{300};

fs::path signerProgram() {
    if (auto found = findOnPath(kSigner)) {
        return *found;
    }
    throw ToolError("osslsigncode is not installed (or not on PATH), so the Windows program cannot be signed; "
                    "install Debian's package: apt-get install osslsigncode");
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// osslsigncode's own lines, without OpenSSL's error queue
// ("40C0...:error:1E08010C:DECODER routines:...") that follows them.
std::string ownWords(const std::string& output) {
    std::istringstream lines(output);
    std::string words;
    for (std::string line; std::getline(lines, line);) {
        line = trimmed(line);
        if (!line.empty() && line.find(":error:") == std::string::npos) {
            words += (words.empty() ? "" : "; ") + line;
        }
    }
    return words.empty() ? trimmed(output) : words;
}

// "/C=DE/O=Zarvo/CN=Zarvo Operator" (OpenSSL's one-line form) as
// "C=DE, O=Zarvo, CN=Zarvo Operator": a "/" starts a new part only before "NAME=".
std::string readableSubject(const std::string& oneLine) {
    std::string subject;
    for (std::size_t i = 0; i < oneLine.size(); ++i) {
        if (oneLine[i] == '/') {
            const auto equals = oneLine.find('=', i + 1);
            const std::string name = equals == std::string::npos ? "" : oneLine.substr(i + 1, equals - i - 1);
            if (!name.empty() && name.find_first_of("/ ,") == std::string::npos) {
                subject += subject.empty() ? "" : ", ";
                continue;
            }
        }
        subject += oneLine[i];
    }
    return subject;
}

// The text after "label" on the first line holding it at or after from.
std::optional<std::string> valueAfter(const std::string& output, const std::string& label, std::size_t from = 0) {
    const auto at = output.find(label, from);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const auto start = at + label.size();
    return trimmed(output.substr(start, output.find('\n', start) - start));
}

ProgramSignature signatureFromVerifyOutput(const std::string& output, int exitCode) {
    ProgramSignature signature;
    if (output.find("No signature found") != std::string::npos) {
        signature.state = ProgramSignature::State::unsignedProgram;
        return signature;
    }
    if (output.find("MISMATCH") != std::string::npos) {
        signature.state = ProgramSignature::State::broken;
        signature.detail = "the program's bytes are not the ones that were signed (changed after signing)";
        return signature;
    }
    const auto signers = output.find("Signer's certificate:");
    const auto subject = signers == std::string::npos ? std::nullopt : valueAfter(output, "Subject:", signers);
    if (!subject) {
        signature.state = ProgramSignature::State::broken;
        signature.detail = "osslsigncode cannot read its signature: " + ownWords(output);
        return signature;
    }
    signature.state = ProgramSignature::State::signedProgram;
    signature.signer = readableSubject(*subject);
    if (exitCode == 0 && output.find("Signature verification: ok") != std::string::npos) {
        signature.chainTrusted = true;
        return signature;
    }
    // The chain's verdict follows "Signing certificate chain verified using:";
    // a failure without one there is the signature itself.
    const auto chain = output.find("Signing certificate chain verified using:");
    const auto problem = chain == std::string::npos ? std::nullopt : valueAfter(output, "Error:", chain);
    if (!problem) {
        signature.state = ProgramSignature::State::broken;
        signature.detail = "the signature does not verify: " + ownWords(output);
        return signature;
    }
    signature.detail = *problem;
    return signature;
}

}  // namespace

std::optional<CodeSigningIdentity> codeSigningIdentity(const Invocation& invocation, const std::string& platformName,
                                                       bool withBundle) {
    const auto certificate = invocation.optional("sign-cert");
    const auto key = invocation.optional("sign-key");
    const auto passwordFile = invocation.optional("sign-key-password-file");
    const auto timestampUrl = invocation.optional("sign-timestamp");
    if (certificate.has_value() != key.has_value()) {
        throw ToolError("--sign-cert and --sign-key go together", 2);
    }
    if (!certificate) {
        if (passwordFile || timestampUrl) {
            throw ToolError(std::string(passwordFile ? "--sign-key-password-file" : "--sign-timestamp") +
                                " needs --sign-cert and --sign-key",
                            2);
        }
        return std::nullopt;
    }
    if (platformName != "windows") {
        throw ToolError("--sign-cert signs the Windows pre-starter: it needs --platform windows", 2);
    }
    if (!withBundle) {
        throw ToolError("--sign-cert signs the bundle's program: it needs --bundle and --bundle-entry", 2);
    }
    if (timestampUrl && !timestampUrl->starts_with("http://") && !timestampUrl->starts_with("https://")) {
        throw ToolError("--sign-timestamp '" + *timestampUrl + "' is not an http:// or https:// URL", 2);
    }
    // osslsigncode runs in a folder of its own, so every path it gets is absolute.
    CodeSigningIdentity identity{fs::absolute(*certificate), fs::absolute(*key), std::nullopt, timestampUrl};
    if (passwordFile) {
        identity.passwordFile = fs::absolute(*passwordFile);
    }
    const std::pair<const char*, fs::path> files[] = {{"--sign-cert", identity.certificate},
                                                      {"--sign-key", identity.key},
                                                      {"--sign-key-password-file", identity.passwordFile.value_or("")}};
    for (const auto& [option, path] : files) {
        std::error_code error;
        if (!path.empty() && !fs::is_regular_file(path, error)) {
            throw ToolError(std::string(option) + " '" + path.string() + "' is missing or not a regular file");
        }
    }
    return identity;
}

void signWindowsProgram(const CodeSigningIdentity& identity, const fs::path& program, const fs::path& signedCopy,
                        const fs::path& workFolder) {
    const fs::path signer = signerProgram();
    std::vector<std::string> arguments = {"sign", "-certs", identity.certificate.string(), "-key",
                                          identity.key.string()};
    if (identity.passwordFile) {
        arguments.insert(arguments.end(), {"-readpass", identity.passwordFile->string()});
    }
    arguments.insert(arguments.end(), {"-h", "sha256", "-n", kDescription});
    if (identity.timestampUrl) {
        arguments.insert(arguments.end(), {"-ts", *identity.timestampUrl});
    }
    arguments.insert(arguments.end(),
                     {"-in", fs::absolute(program).string(), "-out", fs::absolute(signedCopy).string()});
    const ProgramRun run = runProgram(signer, arguments, workFolder / "osslsigncode-sign.txt", kTimeLimit);
    std::error_code error;
    if (run.exitCode != 0 || !fs::is_regular_file(signedCopy, error)) {
        // The two mistakes an operator makes most, in plain words before osslsigncode's own.
        std::string reason;
        if (run.output.find("consistency of a private key") != std::string::npos) {
            reason = "the key is not the certificate's; ";
        } else if (run.output.find("Wrong password?") != std::string::npos) {
            reason = "the key is encrypted and its password (--sign-key-password-file) is missing or wrong; ";
        }
        throw ToolError("osslsigncode could not sign the bundle's program '" + program.string() +
                        "' with the certificate '" + identity.certificate.string() + "' and the key '" +
                        identity.key.string() + "': " + reason + "nothing was changed. osslsigncode said: " +
                        ownWords(run.output));
    }
}

ProgramSignature readProgramSignature(const fs::path& program, const fs::path& workFolder) {
    ProgramSignature signature;
    const auto signer = findOnPath(kSigner);
    if (!signer) {
        signature.detail = "osslsigncode is not installed (apt-get install osslsigncode)";
        return signature;
    }
    try {
        const ProgramRun run = runProgram(*signer, {"verify", "-in", fs::absolute(program).string()},
                                          workFolder / "osslsigncode-verify.txt", kTimeLimit);
        return signatureFromVerifyOutput(run.output, run.exitCode);
    } catch (const ToolError& error) {
        signature.detail = error.what();
        return signature;
    }
}

std::string describeSigner(const ProgramSignature& signature) {
    if (signature.chainTrusted) {
        return signature.signer;
    }
    return signature.signer + " (chain not trusted" + (signature.detail.empty() ? "" : ": " + signature.detail) + ")";
}

}  // namespace zarvo::release
