// The only JSON reader and writer of the program, and the reading of members
// of documents from outside "as text" and "as an integer" without the JSON
// library's own exceptions: a value of the wrong type reads as nothing, and
// the caller raises the error its check names.
#pragma once

#include <json/value.h>

#include <optional>
#include <string>
#include <string_view>

namespace zarvo {

// Parses the bytes, refusing duplicate members and trailing content.
// Raises "INVALID_JSON" "Некорректный JSON".
Json::Value parseStrictJson(std::string_view bytes);
// Compact text, members in ascending byte order of names, raw UTF-8. The same
// value always gives the same text.
std::string writeCompactJson(const Json::Value& value);

// The member of an object; null when it is missing or when value is not an
// object at all (an array, a number, null). Never raises.
const Json::Value& memberOf(const Json::Value& value, std::string_view name);
// Text itself; null reads as the empty text. Any other type reads as nothing.
std::optional<std::string> readText(const Json::Value& value);
// A number that is a whole 64-bit signed integer (1 and 1.0 alike); null
// reads as 0. Other types, fractions and numbers beyond 64 bits read as nothing.
std::optional<Json::Int64> readInteger(const Json::Value& value);

}  // namespace zarvo
