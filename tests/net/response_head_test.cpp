// Reading response heads, the resume check and redirect targets, without a server.
#include "net/response_head.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/expect_error.h"

namespace {

using zarvo::ResponseHead;

TEST(ResponseHead, ReadsStatusLocationAndContentRange) {
    struct Case {
        std::vector<std::string> lines;
        long status;
        std::string location;
        std::string contentRange;
    };
    const std::vector<Case> cases = {
        {{"HTTP/1.1 206 Partial Content\r\n", "Content-Range: bytes 5-9/10\r\n"}, 206, "", "bytes 5-9/10"},
        {{"http/2 302\r\n", "LOCATION:\t /next \t\r\n"}, 302, "/next", ""},
        {{"HTTP/1.1 302 Found\r\n", "Location: /a\r\n", "HTTP/1.1 200 OK\r\n"}, 200, "", ""},
        {{"HTTP/1.1\r\n", "location:\r\n", "Content-Range:\r\n"}, 0, "", ""},
        // Blanks before the line break are no value either.
        {{"HTTP/1.1 307\r\n", "location: \r\n", "Content-Range: \t\n"}, 307, "", ""},
        {{"HTTP/1.1 x200\r\n", "X-Location: /a\r\n", "Content-Type: text/plain\r\n"}, 0, "", ""},
        {{"HTTP/1.1 99999999999999999999999\r\n", "Location: Mixed/Case\n"}, 0, "Mixed/Case", ""},
    };
    for (const Case& c : cases) {
        ResponseHead head;
        for (const std::string& line : c.lines) {
            zarvo::readResponseHeaderLine(line, head);
        }
        EXPECT_EQ(head.status, c.status) << c.lines.front();
        EXPECT_EQ(head.location, c.location) << c.lines.front();
        EXPECT_EQ(head.contentRange, c.contentRange) << c.lines.front();
    }
}

TEST(ResponseHead, ContentRangeMustStartAtTheResumeOffset) {
    struct Case {
        std::string contentRange;
        std::uint64_t offset;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"bytes 1048576-2097151/2097152", 1048576, true}, {"bytes 0-9/10", 0, true},
        {"bytes 0-2097151/2097152", 1048576, false},      {"bytes 10-19/20", 1, false},
        {"bytes 010-19/20", 10, false},                    {"Bytes 5-9/10", 5, false},
        {"", 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(zarvo::contentRangeStartsAt(c.contentRange, c.offset), c.accepted) << c.contentRange;
    }
}

TEST(ResponseHead, RedirectPathsStayOnTheCurrentOrigin) {
    struct Case {
        std::string current;
        std::string location;
        std::string target;
    };
    const std::vector<Case> cases = {
        {"https://files.example.com/a/b?x", "/c", "https://files.example.com:443/c"},
        {"http://127.0.0.1:8080/a", "//other.example.com/x", "http://127.0.0.1:8080//other.example.com/x"},
        {"https://files.example.com/a", "https://cdn.example.com/c", "https://cdn.example.com/c"},
        {"https://files.example.com/a", "c", "c"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(zarvo::redirectTarget(c.current, c.location), c.target) << c.location;
    }
    EXPECT_ZARVO_ERROR(zarvo::redirectTarget("not a url", "/c"), "LOCAL_ERROR", "Некорректный URL");
}

}  // namespace
