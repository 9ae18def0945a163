// Starting a program: the command line is assembled for every platform, so a
// text that is not UTF-8 is refused the same way everywhere.
#include "launch/start_process.h"

#include <system_error>

#include "launch/quote_argument.h"
#include "log/logger.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "trust/error.h"

namespace zarvo {
namespace {

[[noreturn]] void failStart() { throw Error("LOCAL_ERROR", "Не удалось запустить приложение"); }

platform::ProcessHandle startWith(platform::ProcessStart start, const std::filesystem::path& executable,
                              const std::vector<std::string>& arguments) {
    start.program = executable;
    start.arguments = arguments;
    auto commandLine = commandLineFor(platform::pathToUtf8(executable), arguments);
    if (!commandLine) {
        logMessage(LogLevel::Warn, "process.start-failed reason=not-utf8");
        failStart();
    }
    start.commandLine = std::move(*commandLine);
    try {
        return platform::startPlatformProcess(start);
    } catch (const std::system_error& error) {
        logMessage(LogLevel::Warn, std::string("process.start-failed reason=") + error.what());
        failStart();
    }
}

}  // namespace

platform::ProcessHandle startProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments) {
    platform::ProcessStart setup;
    setup.workingFolder = executable.parent_path();
    return startWith(std::move(setup), executable, arguments);
}

platform::ProcessHandle startStandIn(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                                     const StandInStart& options) {
    platform::ProcessStart setup;
    setup.workingFolder = options.workingFolder;
    setup.shareStandardStreams = true;
    return startWith(std::move(setup), executable, arguments);
}

namespace {

constexpr const char* kScrubbedVariables[] = {
    "QT_PLUGIN_PATH",        "QT_QPA_PLATFORM_PLUGIN_PATH", "QML_IMPORT_PATH",
    "QML2_IMPORT_PATH",      "QML_DISK_CACHE_PATH",         "QML_XHR_ALLOW_FILE_READ",
    "QML_XHR_ALLOW_FILE_WRITE", "QT_QUICK_CONTROLS_STYLE",  "QT_QUICK_CONTROLS_CONF",
    "QT_QPA_PLATFORMTHEME",  "JAVA_TOOL_OPTIONS",           "_JAVA_OPTIONS",
    "JDK_JAVA_OPTIONS",      "CLASSPATH",                   "LD_PRELOAD",
    "LD_AUDIT",              "LD_LIBRARY_PATH",             "DYLD_INSERT_LIBRARIES",
    "DYLD_LIBRARY_PATH",
};

}  // namespace

void scrubEnvironment() noexcept {
    for (const char* name : kScrubbedVariables) {
        platform::removeEnvironmentVariable(name);
    }
}

}  // namespace zarvo
