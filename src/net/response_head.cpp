#include "net/response_head.h"

#include <cctype>
#include <charconv>

#include "net/url_policy.h"

namespace zarvo {
namespace {

bool startsWithLowercase(std::string_view line, std::string_view prefix) {
    if (line.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

std::string headerValue(std::string_view line) {
    auto value = line.substr(line.find(':') + 1);
    // Blanks followed by the line break are no value at all.
    auto last = value.find_last_not_of(" \t\r\n");
    if (last == std::string_view::npos) {
        return {};
    }
    auto first = value.find_first_not_of(" \t");
    return std::string(value.substr(first, last - first + 1));
}

long statusOfLine(std::string_view line) {
    // "HTTP/1.1 206 Partial Content": the second blank-separated field.
    auto start = line.find_first_of(" \t");
    if (start == std::string_view::npos) {
        return 0;
    }
    start = line.find_first_not_of(" \t", start);
    if (start == std::string_view::npos) {
        return 0;
    }
    long status = 0;
    std::from_chars(line.data() + start, line.data() + line.size(), status);
    return status;
}

}  // namespace

void readResponseHeaderLine(std::string_view line, ResponseHead& head) {
    if (startsWithLowercase(line, "http/")) {
        head.status = statusOfLine(line);
        head.location.clear();
        head.contentRange.clear();
    } else if (startsWithLowercase(line, "location:")) {
        head.location = headerValue(line);
    } else if (startsWithLowercase(line, "content-range:")) {
        head.contentRange = headerValue(line);
    }
}

bool contentRangeStartsAt(std::string_view contentRange, std::uint64_t resumeOffset) {
    return contentRange.starts_with("bytes " + std::to_string(resumeOffset) + "-");
}

std::string redirectTarget(const std::string& current, const std::string& location) {
    return location.starts_with("/") ? urlOrigin(current) + location : location;
}

}  // namespace zarvo
