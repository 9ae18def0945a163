// The libcurl options every request of the pre-starter shares: time limits,
// user agent, no automatic redirects and the system's certificate store.
#pragma once

#include <curl/curl.h>

#include <string>

#include "build_config.h"

namespace zarvo {

// Follows the project's version ("zarvolauncher/0.1" for 0.1.x).
inline constexpr const char* kUserAgent = build::kUserAgent;

// Sets URL, connect time-out, low-speed rule, user agent, no signals, no
// redirect following, native CA and the allowed protocols ("https", plus
// "http" with allowLoopbackHttp); sockets are not inherited by started
// processes. Returns false when libcurl refuses one.
bool setCommonTransferOptions(CURL* easy, const std::string& url, bool allowLoopbackHttp);

// "Header: value" lines for CURLOPT_HTTPHEADER, freed with the object.
class HeaderList {
public:
    HeaderList() = default;
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    ~HeaderList() { curl_slist_free_all(list_); }

    // Raises std::bad_alloc when libcurl cannot copy the line.
    void append(const std::string& line);
    void clear() noexcept {
        curl_slist_free_all(list_);
        list_ = nullptr;
    }
    curl_slist* get() const noexcept { return list_; }

private:
    curl_slist* list_ = nullptr;
};

}  // namespace zarvo
