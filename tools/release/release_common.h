// What the release tool's commands share: the commands themselves, reading
// the operator's JSON files, writing files a web server may serve, and the
// pre-starter's errors told in the operator's words.
#pragma once

#include <json/value.h>

#include <exception>
#include <filesystem>
#include <string>

#include "release_options.h"

namespace zarvo::release {

int keygen(const Invocation& invocation);
int sign(const Invocation& invocation);
int pack(const Invocation& invocation);
int verify(const Invocation& invocation);

class SecretKey;
// The envelope of exactly these payload bytes, checked as the pre-starter opens
// it; raises ToolError for a key that is not of scope "code".
Json::Value signPayload(const SecretKey& key, const std::string& payload);

// The platform a release is for, as requests, manifests and answer files name
// it: --platform, or this build's own. Raises a usage error for other names.
std::string platformOf(const Invocation& invocation);
// Where a release folder keeps a platform's signed answer and its payload.
std::filesystem::path answerPath(const std::string& platformName);
std::filesystem::path payloadPath(const std::string& platformName);

// The URL a pre-starter asks for the platform's answer (trailing slashes of
// the service URL dropped).
std::string answerUrl(std::string serviceUrl, const std::string& platformName);
// The sequence of the answer the service at serviceUrl gives now, signed with
// the trust; raises ToolError when it cannot be fetched or read.
std::int64_t liveSequence(const std::string& serviceUrl, const Json::Value& trust, const std::string& platformName,
                          bool allowLoopbackHttp);

// A strict JSON document of at most 16 MiB; raises ToolError naming what and the path.
Json::Value readJsonFile(const std::filesystem::path& path, const std::string& what);
// A trust file of this scope (keyId, publicKey, scope, consistent with each
// other); raises ToolError naming what and the path. A secret key file is refused.
Json::Value readTrustFile(const std::filesystem::path& path, const std::string& scope, const std::string& what);
// Raises ToolError unless nothing is at path or it holds a public document of
// this tool (a trust file, a signed envelope or a manifest payload) that is
// not the file given as --secret-key (secretKey, when not empty): a secret key
// file, or anything else, is never replaced.
void requireReplaceable(const std::filesystem::path& path, const std::string& what,
                        const std::filesystem::path& secretKey);
// Replaces path atomically with bytes, readable by everyone (a web server
// serves it) and flushed to disk, after requireReplaceable. Raises ToolError
// naming what.
void writePublicFile(const std::filesystem::path& path, const std::string& bytes, const std::string& what,
                     const std::filesystem::path& secretKey = {});
// Flushes a file or a folder to disk; raises ToolError.
void syncToDisk(const std::filesystem::path& path);

// "<what it means> [<code>: <the pre-starter's message>]" for a zarvo::Error,
// the exception's own text otherwise.
std::string explain(const std::exception& error);

}  // namespace zarvo::release
