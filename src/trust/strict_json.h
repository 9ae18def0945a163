// The only JSON reader and writer of the program.
#pragma once

#include <json/value.h>

#include <string>
#include <string_view>

namespace zarvo {

// Parses the bytes, refusing duplicate members and trailing content.
// Raises "INVALID_JSON" "Некорректный JSON".
Json::Value parseStrictJson(std::string_view bytes);
// Compact text, members in ascending byte order of names, raw UTF-8. The same
// value always gives the same text.
std::string writeCompactJson(const Json::Value& value);

}  // namespace zarvo
