// A download's response head. The input is the current URL on its first line,
// the resume offset in decimal on its second, and then the header lines as
// libcurl would deliver them. Stored values are trimmed, an accepted
// Content-Range starts at the offset, and a redirect target is refused by the
// URL policy or is an absolute URL (on the current origin for a path).
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "net/response_head.h"
#include "net/url_policy.h"

namespace {

using zarvo::fuzz::require;

std::string_view takeLine(std::string_view& text) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
    text.remove_prefix(line.size());
    return line;
}

bool isTrimmed(std::string_view value) {
    return value.empty() || (value.find_first_of(" \t") != 0 && value.find_last_of(" \t\r\n") != value.size() - 1);
}

// "bytes <offset>-" read as a number, independently of how the check builds its text.
bool startsAtOffset(std::string_view range, std::uint64_t offset) {
    if (!range.starts_with("bytes ") || range.size() < 8 || (range[6] == '0' && range[7] != '-')) {
        return false;
    }
    std::uint64_t start = 0;
    auto [end, error] = std::from_chars(range.data() + 6, range.data() + range.size(), start);
    return error == std::errc() && start == offset && end != range.data() + range.size() && *end == '-';
}

void checkRedirect(const std::string& current, const std::string& location) {
    std::string target;
    try {
        target = zarvo::redirectTarget(current, location);
    } catch (const zarvo::Error& error) {
        zarvo::fuzz::requireOwnError(error, {"LOCAL_ERROR"});
        require(location.starts_with("/"), "a full Location needs no origin");
        return;
    }
    if (!zarvo::isAllowedUrl(target, true)) {
        return;
    }
    require(!zarvo::urlPart(target, zarvo::UrlComponent::Scheme).empty() &&
                !zarvo::urlPart(target, zarvo::UrlComponent::Host).empty(),
            "an allowed redirect target is not absolute: " + target);
    if (location.starts_with("/")) {
        require(zarvo::urlOrigin(target) == zarvo::urlOrigin(current), "a path left the current origin: " + target);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view currentLine = takeLine(input);
    std::string current(currentLine.substr(0, currentLine.find('\n')));
    std::string_view offsetLine = takeLine(input);
    std::uint64_t offset = 0;
    std::from_chars(offsetLine.data(), offsetLine.data() + offsetLine.size(), offset);

    zarvo::ResponseHead head;
    while (!input.empty()) {
        zarvo::readResponseHeaderLine(takeLine(input), head);
        require(isTrimmed(head.location) && isTrimmed(head.contentRange), "a stored value keeps its blanks");
    }
    require(zarvo::contentRangeStartsAt(head.contentRange, offset) == startsAtOffset(head.contentRange, offset),
            "Content-Range \"" + head.contentRange + "\" judged wrongly for offset " + std::to_string(offset));
    if (!head.location.empty()) {
        checkRedirect(current, head.location);
    }
    return 0;
}
