#include "launch/environment_scrub.h"

#include "platform/processes.h"

namespace zarvo {
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
