// The pure part of a download's response handling: reading the head's lines,
// the resume check of a partial answer and the target of a redirect. Kept
// apart from the transfer so that hostile heads can be tested without a server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zarvo {

// What the download acts on in the latest response head.
struct ResponseHead {
    long status = 0;
    std::string location;
    std::string contentRange;
};

// One header line as libcurl delivers it (line break included). A status line
// ("HTTP/...", any case) sets the status from its second field and forgets the
// previous head's Location and Content-Range; those two headers store their
// value with surrounding blanks and the line break removed. Other lines are
// ignored.
void readResponseHeaderLine(std::string_view line, ResponseHead& head);
// A 206 answer continues the partial file only when its Content-Range starts
// with "bytes <resumeOffset>-".
bool contentRangeStartsAt(std::string_view contentRange, std::uint64_t resumeOffset);
// Where a redirect from current leads: a Location beginning with "/" on the
// origin of current, any other Location as it is (the URL policy judges it
// before it is used). Raises "LOCAL_ERROR" "Некорректный URL" when a path
// needs an origin and current has none.
std::string redirectTarget(const std::string& current, const std::string& location);

}  // namespace zarvo
