// The pre-starter's command line as a person at a terminal meets it: help,
// version, a misspelt option and a wrong one, run as the real program.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;

// The one place the version comes from: the project() line of CMakeLists.txt.
std::string projectVersion() {
    const std::string text = readFile(fs::path(ZARVO_SOURCE_DIR) / "CMakeLists.txt");
    std::smatch match;
    EXPECT_TRUE(std::regex_search(text, match, std::regex(R"(project\(ZarvoLauncher VERSION ([0-9.]+))")));
    return match.size() > 1 ? match[1].str() : "?";
}

struct ProgramRun {
    TempDir dir;
    ChildResult result;

    explicit ProgramRun(std::vector<std::string> arguments) {
        ChildOptions options;
        // Where the default data folder would be: it must stay untouched unless named.
        options.environment["XDG_DATA_HOME"] = (dir / "xdg").string();
        options.environment["XDG_STATE_HOME"] = (dir / "state").string();
        options.timeout = std::chrono::seconds(30);
        writeFile(dir / "trust.json", "{}");  // read at start-up, checked only against a manifest
        for (std::string& argument : arguments) {
            if (argument == "DATA" || argument == "TRUST") {
                argument = (dir / (argument == "DATA" ? "data" : "trust.json")).string();
            }
        }
        result = runChild(launcherPath(), arguments, options);
    }
    std::string log() const { return readFile(dir / "data" / "logs" / "bootstrap.log"); }
};

TEST(CommandLineProgram, HelpAndVersionTouchNothing) {
    const struct {
        std::vector<std::string> arguments;
        std::string beginning;
    } cases[] = {
        {{"--help"}, "ZarvoLauncher " + projectVersion() + " — "},
        {{"--version"}, "ZarvoLauncher " + projectVersion() + "\n"},
        // Whatever else is given, and with a window possible.
        {{"--data-dir", "DATA", "--preview", "--version"}, "ZarvoLauncher " + projectVersion() + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        ProgramRun run(c.arguments);
        EXPECT_EQ(run.result.exitCode, 0);
        EXPECT_EQ(run.result.standardOutput.substr(0, c.beginning.size()), c.beginning);
        EXPECT_EQ(run.result.standardError, "");
        EXPECT_FALSE(fs::exists(run.dir / "xdg"));
        EXPECT_FALSE(fs::exists(run.dir / "data"));
    }
    ProgramRun help({"--help"});
    EXPECT_NE(help.result.standardOutput.find("Коды завершения:"), std::string::npos);
}

TEST(CommandLineProgram, MistakesGoToStandardErrorWithoutAWindow) {
    // Without --headless: a window would hold the run until the time-out.
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"--data-dir", "DATA", "--code-trust"}, "Missing argument: --code-trust\n"},
        {{"--data-dir", "DATA", "--code-trust", "TRUST", "--service-url", "http://updates.example/"},
         "Адрес API должен использовать HTTPS\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ProgramRun run(c.arguments);
        EXPECT_EQ(run.result.exitCode, 1);
        EXPECT_EQ(run.result.standardError, c.message);
    }
}

TEST(CommandLineProgram, UnknownOptionIsWarnedFirstAndLogged) {
    ProgramRun run({"--headless", "--data-dri", "elsewhere", "--data-dir", "DATA", "--service-url", "http://updates.example/"});
    EXPECT_EQ(run.result.exitCode, 1);
    EXPECT_EQ(run.result.standardError.rfind("Неизвестный параметр пропущен: --data-dri\n", 0), 0u)
        << run.result.standardError;
    const std::string log = run.log();
    EXPECT_NE(log.find(" [WARN] bootstrap.unknown-option name=--data-dri\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" [INFO] bootstrap.version " + projectVersion() + "\n"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(run.dir / "xdg"));
}

}  // namespace
}  // namespace zarvo::test
