// Quoting checked against the splitting rules a Windows child applies to its
// command line, so the argument vector arrives as it was given.
#include "launch/quote_argument.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zarvo::test {
namespace {

// The start-up code's splitting of one command line (the rules of
// CommandLineToArgvW for every argument after the program name).
std::vector<std::wstring> splitArguments(const std::wstring& line) {
    std::vector<std::wstring> arguments;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        std::wstring argument;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != L' ' && line[i] != L'\t'))) {
            std::size_t backslashes = 0;
            while (i < line.size() && line[i] == L'\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == L'"') {
                argument.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    argument.push_back(L'"');
                } else if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
                    argument.push_back(L'"');  // "" inside quotes is a literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                argument.append(backslashes, L'\\');
                if (i < line.size() && (quoted || (line[i] != L' ' && line[i] != L'\t'))) {
                    argument.push_back(line[i]);
                    ++i;
                }
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

TEST(QuoteArgument, QuotesEveryArgumentAndEscapesOnlyWhereSplittingNeedsIt) {
    struct Case {
        std::wstring text;
        std::wstring quoted;
    };
    const std::vector<Case> cases = {
        {L"", L"\"\""},
        {L"plain", L"\"plain\""},
        {L"two words", L"\"two words\""},
        {L"C:\\Program Files\\core.exe", L"\"C:\\Program Files\\core.exe\""},
        {L"ends\\", L"\"ends\\\\\""},
        {L"ends\\\\", L"\"ends\\\\\\\\\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"\\\\server\\share", L"\"\\\\server\\share\""},
        {L"данные", L"\"данные\""},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(quoteArgument(item.text), item.quoted);
    }
}

TEST(QuoteArgument, CommandLineSplitsBackIntoTheArguments) {
    const std::vector<std::string> arguments = {
        "--data-dir", "C:/Users/Пользователь/AppData/Roaming/ZarvoLauncher", "", "trailing\\", "in \"quotes\"",
        "\\\"", "tab\tand space", "\\\\", "emoji \xF0\x9F\x98\x80"};
    auto line = commandLineFor("C:\\Program Files\\Zarvo\\core.exe", arguments);
    ASSERT_TRUE(line.has_value());
    auto split = splitArguments(*line);
    ASSERT_EQ(split.size(), arguments.size() + 1);
    EXPECT_EQ(split[0], L"C:\\Program Files\\Zarvo\\core.exe");
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(split[i + 1], *wideFromUtf8(arguments[i])) << arguments[i];
    }
    EXPECT_EQ(*commandLineFor("core", {}), L"\"core\"");
    EXPECT_EQ(*commandLineFor("core", {""}), L"\"core\" \"\"");
}

TEST(QuoteArgument, TextThatIsNotUtf8IsRefused) {
    const std::vector<std::string> invalid = {
        "\xFF", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x80", "\xE2\x82"};
    for (const auto& text : invalid) {
        EXPECT_FALSE(wideFromUtf8(text).has_value()) << testing::PrintToString(text);
        EXPECT_FALSE(commandLineFor("core", {"ok", text}).has_value());
    }
    EXPECT_FALSE(commandLineFor("\xFF", {}).has_value());

    auto wide = wideFromUtf8("aЖ€\xF0\x9F\x98\x80");
    ASSERT_TRUE(wide.has_value());
    if constexpr (sizeof(wchar_t) == 2) {
        EXPECT_EQ(*wide, std::wstring({L'a', wchar_t(0x416), wchar_t(0x20AC), wchar_t(0xD83D), wchar_t(0xDE00)}));
    } else {
        EXPECT_EQ(*wide, std::wstring({L'a', wchar_t(0x416), wchar_t(0x20AC), wchar_t(0x1F600)}));
    }
}

}  // namespace
}  // namespace zarvo::test
