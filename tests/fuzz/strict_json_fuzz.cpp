// Strict JSON: whatever parses is written so that it parses back to the same
// value and is written again to the same text; the rest is "INVALID_JSON".
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "trust/strict_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zarvo;
    Json::Value value;
    try {
        value = parseStrictJson({reinterpret_cast<const char*>(data), size});
    } catch (const Error& error) {
        fuzz::requireOwnError(error, {"INVALID_JSON"});
        return 0;
    }
    std::string written = writeCompactJson(value);
    Json::Value again;
    try {
        again = parseStrictJson(written);
    } catch (const Error&) {
        fuzz::broken("written text does not parse: " + written);
    }
    fuzz::require(again == value, "value changed on the way back: " + written);
    fuzz::require(writeCompactJson(again) == written, "written twice differently: " + written);
    return 0;
}
