// The registry of secret values seen at run time and the two redaction passes:
// secret-looking patterns first, then every registered value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

// The marker every hidden value is replaced with.
inline constexpr std::string_view kRedactedMarker = "[REDACTED]";

// A bounded list of distinct secret values, longest first (equal lengths in the
// order they were added). Not synchronised: the logger guards its instance.
class SecretRegistry {
public:
    static constexpr std::size_t kMinLength = 3;
    static constexpr std::size_t kMaxLength = 4096;
    static constexpr std::size_t kMaxEntries = 64;

    // Adds a value of kMinLength to kMaxLength bytes unless an equal one is held;
    // when full, the longest entry goes first. Other values are ignored.
    void add(const std::string& value);
    const std::vector<std::string>& entries() const noexcept { return entries_; }

    // Both passes: secret-looking values, then every registered value, repeated
    // while the value pass uncovers more. Idempotent.
    std::string redact(std::string_view text) const;
    // Replaces every occurrence of a registered value by the marker, longest
    // first, never cutting into a marker already in the text.
    std::string redactValues(std::string text) const;

private:
    std::vector<std::string> entries_;
};

// Hides the values of secret-named keys, options and headers, of Bearer and
// Basic credentials and of user information in http(s) URLs. Idempotent.
std::string redactPatterns(std::string_view text);

}  // namespace zarvo
