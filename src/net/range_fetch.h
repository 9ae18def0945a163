// Fetching byte ranges of one release file: one range per request, a few
// requests at a time over reused connections, each answer checked to be
// exactly the bytes asked for. The transfer rules are the download's: the
// URL policy on every hop, redirects by hand, no token, the low-speed limit,
// cancellation and progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "net/download_sink.h"

namespace zarvo {

struct RangeRequest {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;                // above 0
    std::filesystem::path body;              // where the bytes are written (created or truncated)
};

struct RangeFetch {
    std::string url;
    std::uint64_t fileSize = 0;              // the whole file, as every Content-Range must name it
    std::vector<RangeRequest> ranges;
    bool allowLoopbackHttp = false;
    const std::atomic<bool>* cancelRequested = nullptr;
    // Bytes of the ranges received so far, over their sum; may raise, and the
    // fetch then ends with that exception.
    DownloadProgress onProgress;
    // Called with a range's index once its body is complete on disk; may
    // raise, and the fetch then ends with that exception.
    std::function<void(std::size_t index)> onArrived;
    // Where a server that ignores ranges may leave its whole-file answer (the
    // file's partial download); empty: such an answer is refused.
    std::filesystem::path wholeFile;
};

struct RangeFetchResult {
    enum class Outcome {
        Complete,       // every range arrived and was handed to onArrived
        WholeFileKept,  // the server sent the whole file (HTTP 200); it is in wholeFile, unverified
        Refused,        // the server or the connection failed a request; see reason
    };
    Outcome outcome = Outcome::Complete;
    std::string reason;          // for the log, e.g. "status=416" or "content-range"
    std::uint64_t requests = 0;  // requests sent, redirects included
    std::uint64_t bytes = 0;     // body bytes received
};

// Fetches every range of the request. Raises "CANCELLED" "Установка отменена"
// on cancellation, "UNSAFE_URL" "Ссылка загрузки должна использовать HTTPS"
// for a URL the policy refuses, and whatever onProgress or onArrived raise;
// everything the server does wrong is a Refused result. Bodies already written
// stay where they are. Blocking, on the calling thread.
RangeFetchResult fetchRanges(const RangeFetch& fetch);

}  // namespace zarvo
