// zarvo-release: makes the Ed25519 key that signs release manifests and signs
// manifests into the envelopes the update service hands out.
#include <sodium.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "release_options.h"
#include "secret_key.h"
#include "trust/error.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo::release {
namespace {

// The pre-starter reads no JSON document larger than this, so nothing larger is worth signing.
constexpr std::uintmax_t kPayloadLimit = kJsonFileLimit;

// The trust file and the envelope are public: a file server must be able to read them.
void writeOutputFile(const std::filesystem::path& path, const std::string& bytes, const std::string& what) {
    try {
        writeFileAtomic(path, bytes);
        using std::filesystem::perms;
        std::filesystem::permissions(path, perms::owner_read | perms::owner_write | perms::group_read |
                                               perms::others_read);
    } catch (const std::exception&) {
        throw ToolError("cannot write the " + what + " '" + path.string() + "'");
    }
}

int keygen(const Invocation& invocation) {
    std::filesystem::path secretPath = invocation.required("secret-key");
    std::filesystem::path trustPath = invocation.required("trust");
    if (std::filesystem::absolute(secretPath).lexically_normal() ==
        std::filesystem::absolute(trustPath).lexically_normal()) {
        throw ToolError("the secret key and the trust file must be different files", 2);
    }

    SecretKey key = SecretKey::generate("code");
    key.saveNew(secretPath);
    try {
        writeOutputFile(trustPath, writeCompactJson(key.trust()), "trust file");
    } catch (...) {
        // A key whose trust object was never written would be an orphan; leave nothing behind.
        ::unlink(secretPath.c_str());
        throw;
    }
    std::cout << key.publicKeyBase64() << '\n';
    return 0;
}

int sign(const Invocation& invocation) {
    SecretKey key = SecretKey::load(invocation.required("secret-key"));
    std::filesystem::path payloadPath = invocation.required("payload");

    std::string payload;
    try {
        payload = readFileLimited(payloadPath, kPayloadLimit);
    } catch (const Error&) {
        throw ToolError("cannot read the payload '" + payloadPath.string() +
                        "': it is missing, not a regular file, unreadable or larger than 16 MiB");
    }
    try {
        parseStrictJson(payload);
    } catch (const Error&) {
        throw ToolError("the payload '" + payloadPath.string() +
                        "' is not strict JSON (one value, no duplicate member names, nothing after it)");
    }

    Json::Value envelope(Json::objectValue);
    envelope["keyId"] = key.keyId();
    envelope["payload"] = encodeBase64(payload);
    envelope["schemaVersion"] = 1;
    envelope["signature"] = encodeBase64(key.sign(payload));
    // The pre-starter's own check, so a bad envelope never leaves this tool.
    try {
        openSignedEnvelope(envelope, key.trust(), "code");
    } catch (const std::exception&) {
        throw ToolError("the signed envelope does not verify against the key; nothing was written");
    }

    std::string text = writeCompactJson(envelope);
    if (auto out = invocation.options.find("out"); out != invocation.options.end()) {
        writeOutputFile(out->second, text, "envelope");
    } else {
        std::cout << text << '\n' << std::flush;
        if (!std::cout) {
            throw ToolError("cannot write the envelope to standard output");
        }
    }
    return 0;
}

int run(const std::vector<std::string>& arguments) {
    Invocation invocation = parseInvocation(arguments);
    if (invocation.command == "help") {
        std::cout << usageText();
        return 0;
    }
    if (sodium_init() < 0) {
        throw ToolError("cannot initialise libsodium");
    }
    return invocation.command == "keygen" ? keygen(invocation) : sign(invocation);
}

}  // namespace
}  // namespace zarvo::release

int main(int argc, char** argv) {
    try {
        return zarvo::release::run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const zarvo::release::ToolError& error) {
        std::cerr << "zarvo-release: " << error.what() << '\n';
        return error.exitCode();
    } catch (const std::exception& error) {
        std::cerr << "zarvo-release: unexpected failure: " << error.what() << '\n';
        return 1;
    }
}
