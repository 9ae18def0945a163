// Transfer options shared by the JSON request client and the artifact download.
#include "net/transfer_options.h"

#include <new>

#include "platform/processes.h"

namespace zarvo {
namespace {

// The thread's idle handle keeps connections open after a download; started
// processes (the core) must not inherit them.
int configureSocket(void*, curl_socket_t socket, curlsocktype) {
    try {
        platform::keepSocketFromChildren(static_cast<std::intptr_t>(socket));
    } catch (...) {
        return CURL_SOCKOPT_ERROR;
    }
    return CURL_SOCKOPT_OK;
}

}  // namespace

bool setCommonTransferOptions(CURL* easy, const std::string& url, bool allowLoopbackHttp) {
    bool ok = true;
    auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
    set(curl_easy_setopt(easy, CURLOPT_URL, url.c_str()));
    set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 10L));
    // A transfer below 128 B/s for 45 s is treated as dead.
    set(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 128L));
    set(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 45L));
    set(curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent));
    // Signals would reach the whole process; time-outs must not use them.
    set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
    // Every redirect target has to pass the URL policy, so libcurl never follows one itself.
    set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
    set(curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA)));
    set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, allowLoopbackHttp ? "https,http" : "https"));
    set(curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, configureSocket));
    return ok;
}

void HeaderList::append(const std::string& line) {
    curl_slist* extended = curl_slist_append(list_, line.c_str());
    if (extended == nullptr) {
        throw std::bad_alloc();
    }
    list_ = extended;
}

}  // namespace zarvo
