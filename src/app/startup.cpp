#include "app/startup.h"

#include <curl/curl.h>
#include <sodium.h>

#include <exception>
#include <iostream>

#include "app/bootstrap.h"
#include "app/command_line.h"
#include "app/forward_to_installed.h"
#include "app/settings.h"
#include "app/uninstall.h"
#include "app/window_mode.h"
#include "launch/start_process.h"
#include "log/logger.h"
#include "log/redaction.h"
#include "net/url_policy.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/user_settings.h"
#include "storage/data_directory.h"
#include "storage/data_layout.h"
#include "storage/installed_bootstrap.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/signed_envelope.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

// What start-up remembers outside the run context.
struct StartupState {
    std::filesystem::path logPath;
    bool reducedMotion = false;
    // A mistake on the command line: whoever typed it reads standard error,
    // and a window would only block their terminal.
    bool commandLineFault = false;
    // Started by another pre-starter standing in for it: it never forwards again.
    bool forwarded = false;
};

Json::Value builtInTrust() {
    const std::string key = builtInTrustKey();
    if (key == "UNCONFIGURED") {
        throw Error("LOCAL_ERROR", "Для этой сборки не настроен ключ обновлений. См. README: локальный запуск.");
    }
    Json::Value trust(Json::objectValue);
    trust["publicKey"] = key;
    trust["keyId"] = keyIdFor(decodeBase64(key));
    trust["scope"] = "code";
    return trust;
}

void initializeLibraries() {
    if (sodium_init() < 0) {
        throw Error("LOCAL_ERROR", "Crypto initialization failed");
    }
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        throw Error("LOCAL_ERROR", "Network initialization failed");
    }
}

int startUp(Bootstrap& bootstrap, const std::vector<std::string>& arguments, StartupState& state) {
    initializeLibraries();
    try {
        bootstrap.options = parseOptions(arguments);
    } catch (const Error&) {
        state.commandLineFault = true;
        throw;
    }
    // Neither opens a window nor touches a data folder.
    if (bootstrap.hasOption("--help")) {
        std::cout << usageText() << std::flush;
        return 0;
    }
    if (bootstrap.hasOption("--version")) {
        std::cout << "ZarvoLauncher " << programVersion() << '\n' << std::flush;
        return 0;
    }
    // A misspelt option would otherwise run silently against the default data folder.
    const std::vector<std::string> unknown = unknownOptionNames(bootstrap.options);
    if (!unknown.empty() && bootstrap.hasOption("--headless")) {
        std::cerr << redactText(unknownOptionsWarning(unknown)) << '\n' << std::flush;
    }
    if (bootstrap.hasOption("--uninstall")) {
        // The player's own folder as it is now: no earlier folder is moved in just to be removed.
        auto given = bootstrap.options.find("--data-dir");
        const std::filesystem::path dataDir =
            given == bootstrap.options.end() ? roamingDataDirectory() : platform::pathFromUtf8(given->second);
        state.logPath = DataLayout(std::filesystem::absolute(dataDir)).logFile();
        return runUninstall(dataDir);
    }
    // A verified core is held open while it starts; it gets the starting limit back.
    const platform::OpenFileLimit fileLimit = platform::raiseOpenFileLimit();

    auto dataDir = bootstrap.options.find("--data-dir");
    const bool defaultDataDir = dataDir == bootstrap.options.end();
    bootstrap.dataDir = std::filesystem::absolute(
        defaultDataDir ? resolveDataDirectory() : platform::pathFromUtf8(dataDir->second));
    // Before the log opens in it: nothing of the folder may be open to other accounts.
    const bool closed = prepareDataDirectory(bootstrap.dataDir, defaultDataDir);

    bool debug = bootstrap.hasOption("--debug") || readSettingsFlag(bootstrap.dataDir, "debugMode");
    state.logPath = DataLayout(bootstrap.dataDir).logFile();
    configureLog(state.logPath, debug);
    // Another program's brief hold on one of our files is waited out; the log says which.
    platform::reportHeldFilesTo([](const std::string& line) { logMessage(LogLevel::Warn, line); });
    logMessage(LogLevel::Info, std::string("bootstrap.start platform=") + platform::kPlatformName);
    logMessage(LogLevel::Info, std::string("bootstrap.version ") + programVersion());
    for (const std::string& name : unknown) {
        logMessage(LogLevel::Warn, "bootstrap.unknown-option name=" + name);
    }
    if (fileLimit.now != fileLimit.before) {
        logMessage(LogLevel::Info, "bootstrap.open-file-limit from=" + std::to_string(fileLimit.before) +
                                       " to=" + std::to_string(fileLimit.now));
    }
    if (closed) {
        logMessage(LogLevel::Info, "storage.made-private " + platform::pathToGenericUtf8(bootstrap.dataDir));
    }
    state.reducedMotion = readSettingsFlag(bootstrap.dataDir, "reducedMotion");

    if (bootstrap.hasOption("--preview")) {
        return runPreviewMode(bootstrap, state.logPath, state.reducedMotion);
    }

    bootstrap.allowLoopbackHttp = bootstrap.hasOption("--allow-loopback-http");
    bootstrap.headless = bootstrap.hasOption("--headless");
    const auto givenUrl = bootstrap.options.find("--service-url");
    if (givenUrl != bootstrap.options.end()) {
        bootstrap.serviceUrl = givenUrl->second;
    }

    if (auto trustFile = bootstrap.options.find("--code-trust"); trustFile != bootstrap.options.end()) {
        bootstrap.codeTrust =
            parseStrictJson(readFileLimited(platform::pathFromUtf8(trustFile->second), kJsonFileLimit));
    } else {
        bootstrap.codeTrust = builtInTrust();
    }

    if (!isAllowedUrl(bootstrap.serviceUrl, bootstrap.allowLoopbackHttp)) {
        state.commandLineFault = givenUrl != bootstrap.options.end();
        throw Error("LOCAL_ERROR", "Адрес API должен использовать HTTPS");
    }

    if (!bootstrap.hasOption("--self-replace")) {
        // A hand-over cut off between its two renames leaves no installed copy.
        restoreInstalledBootstrap(bootstrap.dataDir);
        if (auto code = forwardToInstalled(bootstrap, arguments, state.forwarded)) {
            return *code;
        }
    }

    if (bootstrap.headless || bootstrap.hasOption("--self-replace")) {
        bootstrap.run();
        return 0;
    }
    return runWindowMode(bootstrap, state.logPath, state.reducedMotion);
}

}  // namespace

int runStartup(int argc, char** argv) {
    StartupState state;
    state.forwarded = takeForwardedMark();
    scrubEnvironment();
    // Archive entry names are converted through the character type; numbers
    // in JSON and logs stay in the "C" locale.
    platform::useUtf8CharacterType();
    const std::vector<std::string> arguments = platform::commandLineArguments(argc, argv);
    const bool errorWindowWanted = wantsErrorWindow(arguments);

    Bootstrap bootstrap;
    try {
        return startUp(bootstrap, arguments, state);
    } catch (const std::exception& error) {
        logMessage(LogLevel::Error, error.what());
        if (errorWindowWanted && !state.commandLineFault) {
            showFatalErrorWindow(state.logPath, error.what());
        }
        std::cerr << redactText(error.what()) << '\n' << std::flush;
        return 1;
    }
}

}  // namespace zarvo
