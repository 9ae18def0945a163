// The range fetch against nginx and the scripted server: many ranges over
// few connections, a redirect followed once, a whole-file answer kept or
// refused, and cancellation.
#include "net/range_fetch.h"

#include <gtest/gtest.h>

#include <atomic>

#include "support/curl_environment.h"
#include "support/expect_error.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

class RangeFetchTest : public ::testing::Test {
protected:
    RangeFetchTest() {
        for (int i = 0; i < 40000; ++i) {
            content += static_cast<char>('a' + (i * 7) % 26);
        }
        writeFile(www / "archive.bin", content);
    }

    // Ten ranges of 1000 bytes, 3000 apart.
    RangeFetch tenRanges(const std::string& url) {
        RangeFetch fetch;
        fetch.url = url;
        fetch.fileSize = content.size();
        fetch.allowLoopbackHttp = true;
        for (int i = 0; i < 10; ++i) {
            fetch.ranges.push_back(RangeRequest{static_cast<std::uint64_t>(i) * 3000 + 17, 1000,
                                                dir / ("range-" + std::to_string(i))});
        }
        return fetch;
    }

    std::string bodyOf(const RangeRequest& range) const { return content.substr(range.offset, range.length); }

    TempDir dir;
    TempDir www;
    std::string content;
};

TEST_F(RangeFetchTest, FetchesEveryRangeWithItsOwnRequest) {
    NginxServer server(www.path());
    RangeFetch fetch = tenRanges(server.url("/archive.bin"));
    std::vector<std::size_t> arrived;
    std::uint64_t lastDone = 0;
    fetch.onArrived = [&](std::size_t index) { arrived.push_back(index); };
    fetch.onProgress = [&](std::uint64_t done, std::uint64_t total) {
        EXPECT_GE(done, lastDone);
        EXPECT_EQ(total, 10000u);
        lastDone = done;
    };
    const RangeFetchResult result = fetchRanges(fetch);
    ASSERT_EQ(result.outcome, RangeFetchResult::Outcome::Complete) << result.reason;
    EXPECT_EQ(result.requests, 10u);
    EXPECT_EQ(result.bytes, 10000u);
    EXPECT_EQ(arrived.size(), 10u);
    for (const RangeRequest& range : fetch.ranges) {
        EXPECT_EQ(readFile(range.body), bodyOf(range));
    }
}

TEST_F(RangeFetchTest, FollowsARedirectOnceAndKeepsOrRefusesAWholeFile) {
    ScriptedServer server;
    Json::Value ranged;
    ranged["bodyFile"] = (www / "archive.bin").string();
    ranged["range"] = true;
    server.answer("/moved", {redirectAnswer(302, "/archive.bin")});
    server.answer("/archive.bin", {ranged});
    const RangeFetchResult moved = fetchRanges(tenRanges(server.url("/moved")));
    ASSERT_EQ(moved.outcome, RangeFetchResult::Outcome::Complete) << moved.reason;
    // The first range found the file; the others asked there directly.
    EXPECT_EQ(moved.requests, 11u);
    EXPECT_EQ(server.requestsFor("/moved").size(), 1u);

    // A server without ranges: one whole answer, kept where the caller allows.
    Json::Value whole;
    whole["bodyFile"] = (www / "archive.bin").string();
    server.answer("/archive.bin", {whole});
    RangeFetch keep = tenRanges(server.url("/archive.bin"));
    keep.wholeFile = dir / "whole.part";
    const RangeFetchResult kept = fetchRanges(keep);
    EXPECT_EQ(kept.outcome, RangeFetchResult::Outcome::WholeFileKept);
    EXPECT_EQ(kept.requests, 1u);
    EXPECT_EQ(readFile(dir / "whole.part"), content);
    const RangeFetchResult refused = fetchRanges(tenRanges(server.url("/archive.bin")));
    EXPECT_EQ(refused.outcome, RangeFetchResult::Outcome::Refused);
    EXPECT_EQ(refused.reason, "status=200");

    // A redirect to plain HTTP elsewhere is refused by the URL policy.
    server.answer("/away", {redirectAnswer(302, "http://example.org/archive.bin")});
    const RangeFetchResult away = fetchRanges(tenRanges(server.url("/away")));
    EXPECT_EQ(away.outcome, RangeFetchResult::Outcome::Refused);
    EXPECT_EQ(away.reason, "unsafe-url");
}

TEST_F(RangeFetchTest, CancellationEndsTheFetch) {
    ScriptedServer server;
    Json::Value slow;
    slow["bodyFile"] = (www / "archive.bin").string();
    slow["range"] = true;
    slow["trickle"]["chunk"] = 10;
    slow["trickle"]["intervalMs"] = 50;
    server.answer("/archive.bin", {slow});
    std::atomic<bool> cancel{false};
    RangeFetch fetch = tenRanges(server.url("/archive.bin"));
    fetch.cancelRequested = &cancel;
    fetch.onProgress = [&](std::uint64_t done, std::uint64_t) {
        if (done > 0) {
            cancel = true;
        }
    };
    EXPECT_ZARVO_ERROR(fetchRanges(fetch), "CANCELLED", "Установка отменена");
}

}  // namespace
}  // namespace zarvo::test
