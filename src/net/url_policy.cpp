// The one test every address passes before a connection is made, and the URL
// components the download needs, all parsed by libcurl's URL interface.
#include "net/url_policy.h"

#include <curl/curl.h>

#include <memory>
#include <optional>

#include "trust/error.h"

namespace zarvo {
namespace {

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const noexcept { curl_url_cleanup(handle); }
};

// A URL as libcurl parsed it: the whole text, no default scheme, no guessing.
class ParsedUrl {
public:
    // nullopt when the handle cannot be made or the parser refuses the text.
    static std::optional<ParsedUrl> parse(const std::string& url) {
        // The parser reads a C string: a NUL byte would silently cut the URL short.
        if (url.find('\0') != std::string::npos) {
            return std::nullopt;
        }
        std::unique_ptr<CURLU, UrlHandleDeleter> handle(curl_url());
        if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
            return std::nullopt;
        }
        return ParsedUrl(std::move(handle));
    }

    // The component's text, the port with its default filled in; empty when
    // the URL has none or it cannot be produced.
    std::string part(UrlComponent component) const {
        char* text = nullptr;
        if (curl_url_get(handle_.get(), curlPart(component), &text, CURLU_DEFAULT_PORT) != CURLUE_OK ||
            text == nullptr) {
            curl_free(text);
            return {};
        }
        std::string copy(text);
        curl_free(text);
        return copy;
    }

private:
    explicit ParsedUrl(std::unique_ptr<CURLU, UrlHandleDeleter> handle) : handle_(std::move(handle)) {}

    static CURLUPart curlPart(UrlComponent component) {
        switch (component) {
        case UrlComponent::Scheme:
            return CURLUPART_SCHEME;
        case UrlComponent::User:
            return CURLUPART_USER;
        case UrlComponent::Password:
            return CURLUPART_PASSWORD;
        case UrlComponent::Host:
            return CURLUPART_HOST;
        case UrlComponent::Port:
            return CURLUPART_PORT;
        case UrlComponent::Fragment:
            return CURLUPART_FRAGMENT;
        }
        return CURLUPART_URL;
    }

    std::unique_ptr<CURLU, UrlHandleDeleter> handle_;
};

bool isLoopbackHost(const std::string& host) { return host == "127.0.0.1" || host == "localhost" || host == "[::1]"; }

bool decideUrl(const std::string& url, bool allowLoopbackHttp) {
    std::optional<ParsedUrl> parsed = ParsedUrl::parse(url);
    if (!parsed) {
        return false;
    }
    if (!parsed->part(UrlComponent::User).empty() || !parsed->part(UrlComponent::Password).empty() ||
        !parsed->part(UrlComponent::Fragment).empty()) {
        return false;
    }
    std::string host = parsed->part(UrlComponent::Host);
    if (host.empty()) {
        return false;
    }
    // Blanks and line breaks are refused even where the parser would encode
    // them: a URL is never meant to carry them, and a header could be split.
    if (url.find_first_of(" \t\n\r") != std::string::npos) {
        return false;
    }
    std::string scheme = parsed->part(UrlComponent::Scheme);
    if (scheme == "https") {
        return true;
    }
    return allowLoopbackHttp && scheme == "http" && isLoopbackHost(host);
}

}  // namespace

bool isAllowedUrl(const std::string& url, bool allowLoopbackHttp) {
    try {
        return decideUrl(url, allowLoopbackHttp);
    } catch (...) {
        return false;
    }
}

std::string urlPart(const std::string& url, UrlComponent component) {
    std::optional<ParsedUrl> parsed = ParsedUrl::parse(url);
    return parsed ? parsed->part(component) : std::string();
}

std::string urlOrigin(const std::string& url) {
    std::optional<ParsedUrl> parsed = ParsedUrl::parse(url);
    std::string host = parsed ? parsed->part(UrlComponent::Host) : std::string();
    std::string port = parsed ? parsed->part(UrlComponent::Port) : std::string();
    // A URL without host or port (file:, say) has no server it could belong to.
    if (host.empty() || port.empty()) {
        throw Error("LOCAL_ERROR", "Некорректный URL");
    }
    return parsed->part(UrlComponent::Scheme) + "://" + host + ":" + port;
}

}  // namespace zarvo
