// Redaction. The input is the text, then NUL-separated secrets to register.
// Afterwards no secret is left outside a marker, the pattern pass finds
// nothing more, and redacting again changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "log/secret_registry.h"

namespace {

// Every occurrence of secret in text lies inside one of the text's markers.
bool onlyInsideMarkers(const std::string& text, const std::string& secret) {
    std::vector<std::size_t> markers;
    for (std::size_t at = text.find(zarvo::kRedactedMarker); at != std::string::npos;
         at = text.find(zarvo::kRedactedMarker, at + zarvo::kRedactedMarker.size())) {
        markers.push_back(at);
    }
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 1)) {
        bool inside = false;
        for (std::size_t marker : markers) {
            inside = inside || (marker <= at && at + secret.size() <= marker + zarvo::kRedactedMarker.size());
        }
        if (!inside) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zarvo;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t textEnd = input.find('\0');
    std::string text(input.substr(0, textEnd));
    // A registry of its own per input, as redactText copies the logger's.
    SecretRegistry registry;
    while (textEnd != std::string_view::npos) {
        std::size_t start = textEnd + 1;
        textEnd = input.find('\0', start);
        registry.add(std::string(input.substr(start, textEnd == std::string_view::npos ? textEnd : textEnd - start)));
    }

    std::string once = registry.redact(text);
    for (const std::string& secret : registry.entries()) {
        fuzz::require(onlyInsideMarkers(once, secret), "secret \"" + secret + "\" survives in: " + once);
    }
    fuzz::require(redactPatterns(once) == once, "the pattern pass still finds something in: " + once);
    fuzz::require(registry.redact(once) == once, "redacting twice differs from once: " + once);
    return 0;
}
