// One blocking JSON request to the update service, with a 16 MiB answer
// ceiling, cooperative cancellation and the service's refusals mapped to errors.
#pragma once

#include <json/value.h>

#include <atomic>
#include <cstddef>
#include <string>

namespace zarvo {

// Largest answer body accepted, in bytes (exactly this size still fits).
inline constexpr std::size_t kJsonAnswerLimit = 16u * 1024u * 1024u;

// Sends method to url ("Accept: application/json", a bearer token unless it is
// empty, the body as compact JSON unless it is null or the method is "GET") and
// returns the parsed answer, null for an empty body. Raises zarvo::Error:
// "CANCELLED", "UNSAFE_URL", "NETWORK_ERROR", "INVALID_JSON", or for a status
// outside 200-299 the service's code and message with the status. Runs on the
// caller's thread; cancelRequested (may be null) is read from libcurl's callbacks.
Json::Value requestJson(const std::string& url, const std::string& method, const Json::Value& body,
                        const std::string& bearerToken, bool allowLoopbackHttp,
                        const std::atomic<bool>* cancelRequested);

}  // namespace zarvo
