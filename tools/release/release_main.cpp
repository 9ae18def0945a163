// zarvo-release: makes the keys that sign releases, packs, signs and checks
// releases the way the pre-starter reads them.
#include <curl/curl.h>
#include <sodium.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "platform/user_settings.h"
#include "release_common.h"
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

}  // namespace

int keygen(const Invocation& invocation) {
    std::filesystem::path secretPath = invocation.required("secret-key");
    std::filesystem::path trustPath = invocation.required("trust");
    const std::string scope = invocation.optional("scope").value_or("code");
    if (scope != "code" && scope != "content") {
        throw ToolError("--scope must be \"code\" (signs releases) or \"content\" (the content key)", 2);
    }
    if (std::filesystem::absolute(secretPath).lexically_normal() ==
        std::filesystem::absolute(trustPath).lexically_normal()) {
        throw ToolError("the secret key and the trust file must be different files", 2);
    }
    // Before a key exists that would be left without its trust file.
    requireReplaceable(trustPath, "trust file", {});

    SecretKey key = SecretKey::generate(scope);
    key.saveNew(secretPath);
    try {
        writePublicFile(trustPath, writeCompactJson(key.trust()), "trust file", secretPath);
    } catch (...) {
        // A key whose trust object was never written would be an orphan; leave nothing behind.
        ::unlink(secretPath.c_str());
        throw;
    }
    std::cout << key.publicKeyBase64() << '\n';
    return 0;
}

// Signs envelopes of scope "code"; the pre-starter's own check runs on each.
Json::Value signPayload(const SecretKey& key, const std::string& payload) {
    if (key.scope() != "code") {
        throw ToolError("the secret key is a \"" + key.scope() + "\" key; releases are signed with a \"code\" key");
    }
    Json::Value envelope(Json::objectValue);
    envelope["keyId"] = key.keyId();
    envelope["payload"] = encodeBase64(payload);
    envelope["schemaVersion"] = 1;
    envelope["signature"] = encodeBase64(key.sign(payload));
    try {
        openSignedEnvelope(envelope, key.trust(), "code");
    } catch (const std::exception&) {
        throw ToolError("the signed envelope does not verify against the key; nothing was written");
    }
    return envelope;
}

int sign(const Invocation& invocation) {
    const std::filesystem::path secretPath = invocation.required("secret-key");
    SecretKey key = SecretKey::load(secretPath);
    std::filesystem::path payloadPath = invocation.required("payload");

    std::string payload;
    try {
        payload = readFileLimited(payloadPath, kPayloadLimit);
    } catch (const Error&) {
        throw ToolError("cannot read the payload '" + payloadPath.string() +
                        "': it is missing, not a regular file, unreadable or larger than 16 MiB");
    }
    Json::Value document;
    try {
        document = parseStrictJson(payload);
    } catch (const Error&) {
        throw ToolError("the payload '" + payloadPath.string() +
                        "' is not strict JSON (one value, no duplicate member names, nothing after it)");
    }
    // Signing publishes the payload: a secret key given in its place would be handed to every player.
    if (isSecretKeyDocument(document)) {
        sodium_memzero(payload.data(), payload.size());
        throw ToolError("the payload '" + payloadPath.string() + "' is a secret key file; nothing was signed");
    }

    std::string text = writeCompactJson(signPayload(key, payload));
    if (auto out = invocation.optional("out")) {
        writePublicFile(*out, text, "envelope", secretPath);
    } else {
        std::cout << text << '\n' << std::flush;
        if (!std::cout) {
            throw ToolError("cannot write the envelope to standard output");
        }
    }
    return 0;
}

namespace {

int run(const std::vector<std::string>& arguments) {
    Invocation invocation = parseInvocation(arguments);
    if (invocation.command == "help") {
        std::cout << usageText(invocation.helpTopic);
        return 0;
    }
    if (sodium_init() < 0) {
        throw ToolError("cannot initialise libsodium");
    }
    if (invocation.command == "keygen") {
        return keygen(invocation);
    }
    if (invocation.command == "sign") {
        return sign(invocation);
    }
    // Archive names convert to and from UTF-8 as in the pre-starter.
    platform::useUtf8CharacterType();
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        throw ToolError("cannot initialise libcurl");
    }
    return invocation.command == "pack" ? pack(invocation) : verify(invocation);
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
        std::cerr << "zarvo-release: unexpected failure: " << zarvo::release::explain(error) << '\n';
        return 1;
    }
}
