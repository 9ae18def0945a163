// Authenticode signatures of the Windows pre-starter, made and read with
// Debian's osslsigncode: pack signs the bundle's program with the operator's
// code-signing certificate, verify says who signed a published one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "release_options.h"

namespace zarvo::release {

// The operator's code-signing certificate and key. The key's password stays
// in its file, which osslsigncode reads itself: it is never an argument.
struct CodeSigningIdentity {
    std::filesystem::path certificate;  // PEM certificate, or its chain
    std::filesystem::path key;          // PEM private key
    std::optional<std::filesystem::path> passwordFile;
    std::optional<std::string> timestampUrl;  // an RFC 3161 time-stamp service
};

// The identity given to pack by --sign-cert, --sign-key,
// --sign-key-password-file and --sign-timestamp, or nothing without them.
// Raises a usage ToolError when they do not go together, or go with a release
// that is not for Windows or has no bundle; a ToolError when a file is missing.
std::optional<CodeSigningIdentity> codeSigningIdentity(const Invocation& invocation, const std::string& platformName,
                                                       bool withBundle);

// Signs a copy of program into signedCopy (SHA-256, described as the
// pre-starter); program itself is left as it is. workFolder is a private
// folder for osslsigncode's words. Raises ToolError with them when
// osslsigncode is missing or refuses (a key that is not the certificate's, a
// wrong password, a file that is not a Windows program).
void signWindowsProgram(const CodeSigningIdentity& identity, const std::filesystem::path& program,
                        const std::filesystem::path& signedCopy, const std::filesystem::path& workFolder);

struct ProgramSignature {
    enum class State {
        notChecked,  // osslsigncode is missing, or did not finish
        unsignedProgram,
        signedProgram,
        broken,      // the signature does not fit the program's bytes, does not verify, or cannot be read
    };
    State state = State::notChecked;
    std::string signer;         // the signer certificate's subject, "CN=..., O=..."
    bool chainTrusted = false;  // its chain ends at a root this machine trusts
    std::string detail;         // why not checked, why the chain is not trusted, what is broken
};

// The Authenticode signature the program carries, as osslsigncode verify
// finds it with this machine's certificate store. Raises nothing for what it
// can only report; workFolder as for signWindowsProgram.
ProgramSignature readProgramSignature(const std::filesystem::path& program, const std::filesystem::path& workFolder);

// "CN=... (chain not trusted: self-signed certificate)", or the subject alone
// for a trusted chain.
std::string describeSigner(const ProgramSignature& signature);

}  // namespace zarvo::release
