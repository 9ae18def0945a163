// The pre-starter's start-up, driven through the built executable.
#include <gtest/gtest.h>

#include <regex>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace zarvo::test {
namespace {

const std::string kUnconfigured = "Для этой сборки не настроен ключ обновлений. См. README: локальный запуск.\n";

// A trust object of the right shape; start-up does not check its members.
std::filesystem::path writeTrust(const TempDir& dir) {
    auto path = dir / "trust.json";
    writeFile(path, R"({"keyId":"0011223344556677","publicKey":"AAAA","scope":"code"})");
    return path;
}

ChildResult runLauncher(const std::vector<std::string>& arguments, const TempDir& home) {
    ChildOptions options;
    options.environment["HOME"] = home.path().string();
    options.environment["XDG_DATA_HOME"] = std::nullopt;
    options.environment["XDG_STATE_HOME"] = std::nullopt;
    options.environment["DISPLAY"] = std::nullopt;
    return runChild(launcherPath(), arguments, options);
}

TEST(Startup, ServiceUrlSpelledLikeAFlagFailsTheUrlCheckWithoutAWindow) {
    TempDir dir;
    auto result = runLauncher({"--code-trust", writeTrust(dir).string(), "--data-dir", (dir / "data").string(),
                               "--service-url", "--headless"},
                              dir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "Адрес API должен использовать HTTPS\n");
    EXPECT_EQ(result.standardOutput, "");
}

TEST(Startup, RefusesServiceUrlsOutsideThePolicy) {
    TempDir dir;
    auto trust = writeTrust(dir).string();
    auto data = (dir / "data").string();
    for (const std::string url : {"http://example.com/", "http://127.0.0.1:8080", "ftp://example.com/",
                                  "https://user:pw@example.com/", "https://example.com/#x"}) {
        auto result = runLauncher({"--headless", "--data-dir", data, "--code-trust", trust, "--service-url", url}, dir);
        EXPECT_EQ(result.exitCode, 1) << url;
        EXPECT_EQ(result.standardError, "Адрес API должен использовать HTTPS\n") << url;
    }
    // Plain HTTP to this machine passes once the user allows it.
    auto allowed = runLauncher({"--headless", "--allow-loopback-http", "--data-dir", data, "--code-trust", trust,
                                "--service-url", "http://127.0.0.1:9"},
                               dir);
    EXPECT_EQ(allowed.standardError.find("Адрес API должен использовать HTTPS"), std::string::npos);
}

TEST(Startup, NameWithoutValueAtTheEndIsMissingArgument) {
    TempDir dir;
    auto result = runLauncher({"--headless", "--data-dir", (dir / "data").string(), "--bogus"}, dir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "Missing argument: --bogus\n");
    // The failure came before the data directory was chosen, so no log was opened.
    EXPECT_FALSE(std::filesystem::exists(dir / "data"));
}

TEST(Startup, BuildWithoutKeyRefusesAndLogsTheStart) {
    TempDir dir;
    auto data = dir / "data";
    auto result = runLauncher({"--headless", "--data-dir", data.string()}, dir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, kUnconfigured);
    std::string log = readFile(data / "logs" / "bootstrap.log");
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[INFO\] bootstrap\.start platform=linux\n)"
                        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[INFO\] bootstrap\.version \d+\.\d+\.\d+\n)")))
        << log;
    EXPECT_NE(log.find("[ERROR] Для этой сборки не настроен ключ обновлений."), std::string::npos) << log;
}

TEST(Startup, DataDirectoryComesFromTheUserFoldersWithoutTheOption) {
    TempDir dir;
    auto result = runLauncher({"--headless"}, dir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(std::filesystem::exists(dir / ".local/share/ZarvoLauncher/logs/bootstrap.log"));

    ChildOptions relative;
    relative.environment["HOME"] = dir.path().string();
    relative.environment["XDG_DATA_HOME"] = (dir / "xdg").string();
    relative.environment["XDG_STATE_HOME"] = std::nullopt;
    runChild(launcherPath(), {"--headless"}, relative);
    EXPECT_TRUE(std::filesystem::exists(dir / "xdg/ZarvoLauncher/logs/bootstrap.log"));

    ChildOptions homeless;
    homeless.environment["HOME"] = std::nullopt;
    homeless.environment["XDG_DATA_HOME"] = std::nullopt;
    homeless.environment["XDG_STATE_HOME"] = std::nullopt;
    auto failed = runChild(launcherPath(), {"--headless"}, homeless);
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.standardError, "HOME is unavailable\n");
}

TEST(Startup, TheDataFolderIsPrivateToTheUser) {
    namespace fs = std::filesystem;
    auto mode = [](const fs::path& path) { return fs::status(path).permissions() & fs::perms::mask; };
    const fs::perms owner = fs::perms::owner_all;
    TempDir dir;
    // Created by the run: the folder, its log folder and its log.
    runLauncher({"--headless", "--data-dir", (dir / "new").string()}, dir);
    EXPECT_EQ(mode(dir / "new"), owner);
    EXPECT_EQ(mode(dir / "new/logs"), owner);
    EXPECT_EQ(mode(dir / "new/logs/bootstrap.log"), fs::perms::owner_read | fs::perms::owner_write);

    // A folder the user chose keeps its mode; the default one left open by an
    // earlier version is closed, and the log says so.
    for (const fs::path& folder : {dir / "chosen", dir / ".local/share/ZarvoLauncher"}) {
        fs::create_directories(folder);
        fs::permissions(folder, owner | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    }
    runLauncher({"--headless", "--data-dir", (dir / "chosen").string()}, dir);
    EXPECT_NE(mode(dir / "chosen"), owner);
    runLauncher({"--headless"}, dir);
    EXPECT_EQ(mode(dir / ".local/share/ZarvoLauncher"), owner);
    EXPECT_NE(readFile(dir / ".local/share/ZarvoLauncher/logs/bootstrap.log").find("[INFO] storage.made-private "),
              std::string::npos);
}

TEST(Startup, RelativeDataDirectoryIsMadeAbsolute) {
    TempDir dir;
    ChildOptions options;
    options.workingDirectory = dir.path();
    options.environment["DISPLAY"] = std::nullopt;
    auto result = runChild(launcherPath(), {"--headless", "--data-dir", "rel/data"}, options);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(std::filesystem::exists(dir / "rel/data/logs/bootstrap.log"));
}

TEST(Startup, BrokenTrustFileStopsTheRunWithItsOwnMessage) {
    TempDir dir;
    auto data = (dir / "data").string();
    auto missing = dir / "missing.json";
    auto result = runLauncher({"--headless", "--data-dir", data, "--code-trust", missing.string()}, dir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "Файл отсутствует или превышает допустимый размер: " + missing.string() + "\n");

    writeFile(dir / "broken.json", R"({"scope":"code","scope":"code"})");
    result = runLauncher({"--headless", "--data-dir", data, "--code-trust", (dir / "broken.json").string()}, dir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "Некорректный JSON\n");
}

TEST(Startup, StandardErrorIsRedacted) {
    TempDir dir;
    // The message names the path, and the path carries something secret-looking.
    auto secretPath = dir / "apikey=hunter2hunter2";
    auto result = runLauncher({"--headless", "--data-dir", (dir / "data").string(), "--code-trust", secretPath.string()},
                              dir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError.find("hunter2hunter2"), std::string::npos) << result.standardError;
    EXPECT_NE(result.standardError.find("apikey=[REDACTED]"), std::string::npos) << result.standardError;
    std::string log = readFile(dir / "data/logs/bootstrap.log");
    EXPECT_EQ(log.find("hunter2hunter2"), std::string::npos) << log;
}

}  // namespace
}  // namespace zarvo::test
