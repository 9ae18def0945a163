// Which addresses may be contacted: HTTPS, or plain HTTP to this machine when
// the user asked for it.
#pragma once

#include <string>

namespace zarvo {

enum class UrlComponent { Scheme, User, Password, Host, Port, Fragment };

// Never raises; anything unparsable is refused.
bool isAllowedUrl(const std::string& url, bool allowLoopbackHttp);
// One component of the URL (port with its default filled in), empty when absent
// or when the URL cannot be parsed.
std::string urlPart(const std::string& url, UrlComponent component);
// "scheme://host:port"; raises "LOCAL_ERROR" "Некорректный URL".
std::string urlOrigin(const std::string& url);

}  // namespace zarvo
