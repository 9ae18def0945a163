// The range fetch: libcurl's multi interface drives a few easy handles that
// share its connection cache; each request asks for one range and is
// accepted only as a 206 naming exactly that range, unencoded and whole.
#include "net/range_fetch.h"

#include <curl/curl.h>

#include <cctype>
#include <deque>
#include <memory>
#include <optional>
#include <system_error>

#include "log/logger.h"
#include "log/redaction.h"
#include "net/response_head.h"
#include "net/transfer_options.h"
#include "net/url_policy.h"
#include "platform/files.h"
#include "trust/error.h"

namespace zarvo {
namespace {

// A few at a time: enough to hide the round trips, few enough for any CDN.
constexpr std::size_t kParallel = 4;
constexpr int kRequestsPerRange = 6;  // the first and up to five redirects
constexpr int kPollMilliseconds = 100;

struct MultiFree {
    void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};

bool startsWithLowercase(std::string_view line, std::string_view prefix) {
    if (line.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// One request in flight: its range, its hops and what its answer said so far.
struct Transfer {
    std::size_t index = 0;
    const RangeRequest* range = nullptr;
    std::string url;
    int hops = 0;
    CURL* easy = nullptr;
    HeaderList headers;
    ResponseHead head;
    bool encoded = false;  // a Content-Encoding other than identity
    bool whole = false;    // a 200: the whole file instead of the range
    platform::OutputFile output;
    bool opened = false;
    std::uint64_t received = 0;
    std::uint64_t limit = 0;  // the most bytes the body may have
    std::string refusal;      // why the body was refused
    const RangeFetch* fetch = nullptr;

    ~Transfer() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
    }
};

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::string_view line(data, size * count);
    readResponseHeaderLine(line, transfer->head);
    if (startsWithLowercase(line, "http/")) {
        transfer->encoded = false;
    } else if (startsWithLowercase(line, "content-encoding:")) {
        const std::string value = std::string(line.substr(17));
        transfer->encoded = value.find_first_not_of(" \t\r\n") != std::string::npos &&
                            value.find("identity") == std::string::npos;
    }
    return size * count;
}

// Decides on the first body block whether this answer is the range asked for.
bool acceptAnswer(Transfer& t) {
    const RangeFetch& fetch = *t.fetch;
    if (t.encoded) {
        t.refusal = "content-encoding";
        return false;
    }
    try {
        if (t.head.status == 206) {
            const std::string expected = "bytes " + std::to_string(t.range->offset) + "-" +
                                         std::to_string(t.range->offset + t.range->length - 1) + "/" +
                                         std::to_string(fetch.fileSize);
            if (t.head.contentRange != expected) {
                t.refusal = "content-range";
                return false;
            }
            t.output = platform::OutputFile(t.range->body, platform::OutputMode::Truncate);
            t.limit = t.range->length;
        } else {
            if (fetch.wholeFile.empty()) {
                t.refusal = "status=200";
                return false;
            }
            t.whole = true;
            t.output = platform::OutputFile(fetch.wholeFile, platform::OutputMode::Truncate);
            t.limit = fetch.fileSize;
        }
    } catch (const std::system_error& error) {
        t.refusal = std::string("write-failed ") + error.what();
        return false;
    }
    t.opened = true;
    return true;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    const std::atomic<bool>* cancel = t->fetch->cancelRequested;
    if (cancel != nullptr && cancel->load()) {
        return 0;
    }
    if (t->head.status >= 300 && t->head.status <= 399) {
        return 0;  // the head says all a redirect has to say
    }
    if (t->head.status != 206 && t->head.status != 200) {
        t->refusal = "status=" + std::to_string(t->head.status);
        return 0;
    }
    if (!t->opened && !acceptAnswer(*t)) {
        return 0;
    }
    if (t->received + n > t->limit) {
        t->refusal = "body-too-long";
        return 0;
    }
    try {
        t->output.write(data, n);
    } catch (const std::system_error& error) {
        t->refusal = std::string("write-failed ") + error.what();
        return 0;
    }
    t->received += n;
    return n;
}

int onTransferProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const std::atomic<bool>* cancel = static_cast<Transfer*>(user)->fetch->cancelRequested;
    return cancel != nullptr && cancel->load() ? 1 : 0;
}

class Fetcher {
public:
    explicit Fetcher(const RangeFetch& fetch) : fetch_(fetch), multi_(curl_multi_init()), url_(fetch.url) {
        for (std::size_t i = 0; i < fetch.ranges.size(); ++i) {
            pending_.push_back(i);
            planned_ += fetch.ranges[i].length;
        }
    }

    RangeFetchResult run() {
        if (!multi_) {
            return refused("no-multi-handle");
        }
        curl_multi_setopt(multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(kParallel));
        while (!pending_.empty() || !active_.empty()) {
            // One request alone until the server has shown it answers ranges, so
            // that a server without them sends the whole file once, not four times.
            const std::size_t allowed = confirmed_ ? kParallel : 1;
            while (!pending_.empty() && active_.size() < allowed) {
                const std::size_t index = pending_.front();
                pending_.pop_front();
                if (const std::string failure = start(std::make_unique<Transfer>(), index, url_); !failure.empty()) {
                    return refused(failure);
                }
            }
            int running = 0;
            if (curl_multi_perform(multi_.get(), &running) != CURLM_OK) {
                return refused("multi-failed");
            }
            if (auto ended = collect(); ended) {
                return *ended;
            }
            throwIfCancelled();
            reportProgress();
            if (!active_.empty()) {
                curl_multi_poll(multi_.get(), nullptr, 0, kPollMilliseconds, nullptr);
            }
        }
        result_.outcome = RangeFetchResult::Outcome::Complete;
        return result_;
    }

    ~Fetcher() {
        for (auto& transfer : active_) {
            curl_multi_remove_handle(multi_.get(), transfer->easy);
        }
    }

private:
    // Adds one request to the multi handle; returns why it could not, or nothing.
    std::string start(std::unique_ptr<Transfer> t, std::size_t index, const std::string& url) {
        if (!isAllowedUrl(url, fetch_.allowLoopbackHttp)) {
            return "unsafe-url";
        }
        t->index = index;
        t->range = &fetch_.ranges[index];
        t->url = url;
        t->fetch = &fetch_;
        t->easy = curl_easy_init();
        if (t->easy == nullptr) {
            return "no-easy-handle";
        }
        const RangeRequest& range = *t->range;
        t->headers.append("Range: bytes=" + std::to_string(range.offset) + "-" +
                          std::to_string(range.offset + range.length - 1));
        CURL* easy = t->easy;
        bool ok = setCommonTransferOptions(easy, url, fetch_.allowLoopbackHttp);
        auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
        set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t->headers.get()));
        set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader));
        set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, t.get()));
        set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody));
        set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, t.get()));
        set(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L));
        set(curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onTransferProgress));
        set(curl_easy_setopt(easy, CURLOPT_XFERINFODATA, t.get()));
        set(curl_easy_setopt(easy, CURLOPT_PRIVATE, t.get()));
        if (!ok || curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) {
            return "options-refused";
        }
        ++result_.requests;
        active_.push_back(std::move(t));
        return "";
    }

    std::unique_ptr<Transfer> takeActive(CURL* easy) {
        for (auto it = active_.begin(); it != active_.end(); ++it) {
            if ((*it)->easy == easy) {
                std::unique_ptr<Transfer> t = std::move(*it);
                active_.erase(it);
                curl_multi_remove_handle(multi_.get(), easy);
                return t;
            }
        }
        return nullptr;
    }

    // Handles every finished request; a result ends the fetch.
    std::optional<RangeFetchResult> collect() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            const CURLcode code = message->data.result;
            std::unique_ptr<Transfer> t = takeActive(message->easy_handle);
            if (!t) {
                continue;
            }
            t->output.close();
            result_.bytes += t->received;
            throwIfCancelled();
            if (!t->refusal.empty()) {
                return refused(t->refusal);
            }
            const long status = t->head.status;
            if (status >= 300 && status <= 399) {
                if (t->head.location.empty() || t->hops + 1 >= kRequestsPerRange) {
                    return refused(t->head.location.empty() ? "redirect-without-location" : "too-many-redirects");
                }
                std::string next;
                try {
                    next = redirectTarget(t->url, t->head.location);
                } catch (const Error&) {
                    return refused("bad-redirect");
                }
                auto again = std::make_unique<Transfer>();
                again->hops = t->hops + 1;
                if (const std::string failure = start(std::move(again), t->index, next); !failure.empty()) {
                    return refused(failure);
                }
                continue;
            }
            if (code != CURLE_OK) {
                return refused(std::string("transport=") + curl_easy_strerror(code));
            }
            if (t->whole) {
                // The whole file arrived in place of a range: the caller checks it.
                if (fetch_.fileSize > 0 && t->received != fetch_.fileSize) {
                    return refused("short-whole-file");
                }
                result_.outcome = RangeFetchResult::Outcome::WholeFileKept;
                result_.reason = "status=200";
                return result_;
            }
            if (status != 206 || !t->opened) {
                return refused("status=" + std::to_string(status));
            }
            if (t->received != t->range->length) {
                return refused("short-body");
            }
            // Later requests go straight to where this one was answered.
            confirmed_ = true;
            url_ = t->url;
            done_ += t->range->length;
            if (fetch_.onArrived) {
                fetch_.onArrived(t->index);
            }
        }
        return std::nullopt;
    }

    RangeFetchResult refused(const std::string& reason) {
        logMessage(LogLevel::Warn, "download.range-refused url=" + redactUrlForLog(fetch_.url) + " reason=" + reason);
        result_.outcome = RangeFetchResult::Outcome::Refused;
        result_.reason = reason;
        return result_;
    }

    void throwIfCancelled() const {
        if (fetch_.cancelRequested != nullptr && fetch_.cancelRequested->load()) {
            throw Error("CANCELLED", "Установка отменена");
        }
    }

    void reportProgress() const {
        if (!fetch_.onProgress || planned_ == 0) {
            return;
        }
        std::uint64_t done = done_;
        for (const auto& t : active_) {
            done += t->whole ? 0 : t->received;
        }
        fetch_.onProgress(std::min(done, planned_), planned_);
    }

    const RangeFetch& fetch_;
    std::unique_ptr<CURLM, MultiFree> multi_;
    std::string url_;
    std::deque<std::size_t> pending_;
    std::vector<std::unique_ptr<Transfer>> active_;
    bool confirmed_ = false;
    std::uint64_t planned_ = 0;
    std::uint64_t done_ = 0;
    RangeFetchResult result_;
};

}  // namespace

RangeFetchResult fetchRanges(const RangeFetch& fetch) { return Fetcher(fetch).run(); }

}  // namespace zarvo
