// Ed25519-signed envelopes: a Base64 JSON payload with a detached signature.
#pragma once

#include <json/value.h>

#include <string>
#include <string_view>

namespace zarvo {

// Verifies the envelope against the trust object and returns the parsed
// payload. Raises "SIGNATURE_INVALID", "INVALID_JSON", or "LOCAL_ERROR" for
// malformed Base64.
Json::Value openSignedEnvelope(const Json::Value& envelope, const Json::Value& trust,
                               std::string_view expectedScope);
// First 16 lowercase hexadecimal characters of the SHA-256 of the key bytes.
std::string keyIdFor(std::string_view keyBytes);

}  // namespace zarvo
