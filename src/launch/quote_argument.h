// The command line of a started program as one text: arguments quoted so that
// the standard Windows argument splitting gives back exactly the list given.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

// Every argument is quoted, an empty one as "". Backslashes before a quote and
// at the end are doubled, a quote inside gets one backslash; others pass as
// they are. Pure, any thread.
std::wstring quoteArgument(std::wstring_view text);
// UTF-8 to wide text (UTF-16 where wchar_t has 16 bits); nullopt for a
// sequence that is not valid UTF-8 (overlong forms and surrogates included).
std::optional<std::wstring> wideFromUtf8(std::string_view text);
// The quoted program followed by " " and each quoted argument; nullopt when
// any text is not valid UTF-8.
std::optional<std::wstring> commandLineFor(std::string_view programUtf8, const std::vector<std::string>& arguments);

}  // namespace zarvo
