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

TEST(CommandLine, HelpAndVersionAreFlags) {
    auto options = parseOptions({"ZarvoLauncher", "--data-dir", "d", "--version", "--help"});
    std::map<std::string, std::string> expected = {{"--data-dir", "d"}, {"--help", "true"}, {"--version", "true"}};
    EXPECT_EQ(options, expected);
}

TEST(CommandLine, UnknownNamesAreKeptAndNamed) {
    const struct {
        std::vector<std::string> arguments;
        std::vector<std::string> unknown;
        std::string warning;
    } cases[] = {
        {{"ZarvoLauncher", "--headless", "--data-dir", "d", "--service-url", "u", "--screenshot", "s"}, {}, ""},
        {{"ZarvoLauncher", "--self-replace", "p", "--parent", "1", "--self-hash", "h", "--self-entry", "e",
          "--bundle-root", "b", "--code-trust", "t", "--preview", "--preview-error", "--debug", "--no-launch",
          "--no-self-update", "--allow-loopback-http", "--help", "--version", "--uninstall"},
         {},
         ""},
        {{"ZarvoLauncher", "--data-dri", "d"}, {"--data-dri"}, "Неизвестный параметр пропущен: --data-dri"},
        {{"ZarvoLauncher", "--zeta", "1", "--headless", "word", "2"},
         {"--zeta", "word"},
         "Неизвестные параметры пропущены: --zeta, word"},
    };
    for (const auto& c : cases) {
        const auto options = parseOptions(c.arguments);
        const auto unknown = unknownOptionNames(options);
        EXPECT_EQ(unknown, c.unknown) << c.arguments[1];
        for (const std::string& name : c.unknown) {
            EXPECT_EQ(options.count(name), 1u) << name;  // kept for whoever reads it
        }
        if (!unknown.empty()) {
            EXPECT_EQ(unknownOptionsWarning(unknown), c.warning);
        }
    }
}

TEST(CommandLine, UsageNamesEveryOptionModeAndExitCode) {
    const std::string usage = usageText();
    for (const char* part : {"--headless", "--data-dir", "--service-url", "--code-trust", "--allow-loopback-http",
                             "--no-launch", "--no-self-update", "--debug", "--preview", "--preview-error",
                             "--screenshot", "--help", "--version", "--self-replace", "--uninstall", "Режимы:",
                             "Коды завершения:", "  0  ", "  1  "}) {
        EXPECT_NE(usage.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(usage.rfind(std::string("ZarvoLauncher ") + programVersion() + " ", 0), 0u);
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
