// The manifest reader on payloads the fuzzer writes, signed with the fixed key
// so that they get past the envelope. Failures are the program's own errors; an
// accepted manifest has an object or nothing for each component the flow
// reads, and what is accepted without loopback HTTP is accepted with it too.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "app/update_manifest.h"
#include "platform/user_settings.h"
#include "fuzz_check.h"
#include "fuzz_key.h"
#include "trust/strict_json.h"

namespace {

std::optional<Json::Value> read(const Json::Value& trust, const Json::Value& envelope, bool allowLoopbackHttp) {
    try {
        return zarvo::readUpdateManifest(envelope, trust,
                                         zarvo::ManifestRules{zarvo::platform::kPlatformName, allowLoopbackHttp})
            .payload;
    } catch (const zarvo::Error& error) {
        zarvo::fuzz::requireOwnError(error, {"LOCAL_ERROR", "SIGNATURE_INVALID", "INVALID_JSON"});
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zarvo;
    static const bool sodiumReady = (fuzz::initSodium(), true);
    static const fuzz::FixedKey key;
    (void)sodiumReady;
    static const Json::Value trust = key.trust();

    Json::Value envelope = key.sign({reinterpret_cast<const char*>(data), size});
    std::optional<Json::Value> strict = read(trust, envelope, false);
    std::optional<Json::Value> loopback = read(trust, envelope, true);
    fuzz::require(!strict || loopback, "accepted only without loopback HTTP");
    if (loopback) {
        // A missing component is left to the readiness check; one that is
        // there must be an object.
        const Json::Value& components = memberOf(*loopback, "components");
        fuzz::require(components.isObject() || components.isNull(), "accepted components that are no object");
        for (const char* name : {"core", "ui", "bootstrap"}) {
            const Json::Value& component = memberOf(components, name);
            fuzz::require(component.isObject() || component.isNull(),
                          "accepted a manifest whose components are not objects");
        }
        fuzz::require(readInteger(memberOf(*loopback, "sequence")).has_value(), "accepted a sequence that is no integer");
    }
    return 0;
}
