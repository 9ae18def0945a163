#include "app/command_line.h"

#include <gtest/gtest.h>

#include "app/settings.h"
#include "support/temp_dir.h"
#include "trust/error.h"

namespace zarvo::test {
namespace {

TEST(CommandLine, FlagsValuesAndRepeats) {
    auto options = parseOptions({"ZarvoLauncher", "--headless", "--service-url", "--debug", "word", "value",
                                 "--data-dir", "/a", "--no-launch", "--data-dir", "/b", "--preview-error"});
    std::map<std::string, std::string> expected = {
        {"--headless", "true"}, {"--service-url", "--debug"}, {"word", "value"},
        {"--data-dir", "/b"},   {"--no-launch", "true"},      {"--preview-error", "true"},
    };
    EXPECT_EQ(options, expected);
    EXPECT_TRUE(parseOptions({"ZarvoLauncher"}).empty());
}

TEST(CommandLine, NameAtTheEndIsAMissingArgument) {
    try {
        parseOptions({"ZarvoLauncher", "--headless", "--code-trust"});
        FAIL() << "expected an error";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), "LOCAL_ERROR");
        EXPECT_STREQ(error.what(), "Missing argument: --code-trust");
        EXPECT_EQ(error.status(), 0);
    }
    // Flags never need a value, even last.
    EXPECT_NO_THROW(parseOptions({"ZarvoLauncher", "--data-dir", "d", "--allow-loopback-http"}));
}

TEST(CommandLine, ErrorWindowPrepassSeesValuesToo) {
    EXPECT_TRUE(wantsErrorWindow({"ZarvoLauncher", "--debug"}));
    EXPECT_FALSE(wantsErrorWindow({"ZarvoLauncher", "--headless"}));
    EXPECT_FALSE(wantsErrorWindow({"ZarvoLauncher", "--self-replace", "x"}));
    EXPECT_FALSE(wantsErrorWindow({"ZarvoLauncher", "--service-url", "--headless"}));
    // The program name itself does not count.
    EXPECT_TRUE(wantsErrorWindow({"--headless"}));
}

TEST(Settings, FlagsDefaultToFalseOnEveryProblem) {
    TempDir dir;
    EXPECT_FALSE(readSettingsFlag(dir.path(), "debugMode"));  // no file

    auto write = [&](const std::string& text) { writeFile(dir / "settings.json", text); };
    write(R"({"debugMode":true,"reducedMotion":false})");
    EXPECT_TRUE(readSettingsFlag(dir.path(), "debugMode"));
    EXPECT_FALSE(readSettingsFlag(dir.path(), "reducedMotion"));
    EXPECT_FALSE(readSettingsFlag(dir.path(), "missing"));

    write(R"({"debugMode":"true"})");
    EXPECT_FALSE(readSettingsFlag(dir.path(), "debugMode"));
    write(R"({"debugMode":true,"debugMode":true})");
    EXPECT_FALSE(readSettingsFlag(dir.path(), "debugMode"));
    write(R"([true])");
    EXPECT_FALSE(readSettingsFlag(dir.path(), "debugMode"));
    write(R"({"debugMode":true} x)");
    EXPECT_FALSE(readSettingsFlag(dir.path(), "debugMode"));
    write(R"({"debugMode":{"nested":true}})");
    EXPECT_FALSE(readSettingsFlag(dir.path(), "debugMode"));
}

}  // namespace
}  // namespace zarvo::test
