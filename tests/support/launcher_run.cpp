#include "support/launcher_run.h"

#include "support/test_core.h"

namespace zarvo::test {

std::vector<std::string> LauncherRun::arguments(const std::vector<std::string>& extra) const {
    std::vector<std::string> list;
    if (headless) {
        list.push_back("--headless");
    }
    if (debug) {
        list.push_back("--debug");
    }
    if (!dataDir.empty()) {
        list.insert(list.end(), {"--data-dir", dataDir.string()});
    }
    if (!serviceUrl.empty()) {
        list.insert(list.end(), {"--service-url", serviceUrl});
    }
    if (allowLoopbackHttp) {
        list.push_back("--allow-loopback-http");
    }
    if (!trustFile.empty()) {
        list.insert(list.end(), {"--code-trust", trustFile.string()});
    }
    list.insert(list.end(), extra.begin(), extra.end());
    return list;
}

ChildResult LauncherRun::run(const std::vector<std::string>& extra) const {
    ChildOptions options = child;
    if (!coreScript.empty()) {
        options.environment[kTestCoreScriptVariable] = coreScript.string();
    }
    return runChild(program.empty() ? launcherPath() : program, arguments(extra), options);
}

}  // namespace zarvo::test
