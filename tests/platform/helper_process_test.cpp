// The platform test program's own main: started with --platform-helper it is
// the helper process of platform_test_support.h and never runs a test, so
// tests can hold locks and files from a real second process on every system.
// Being the program's main, it keeps gtest_main's out of the link.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/locks.h"
#include "platform_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace zarvo;

// Written under another name first, so the test never reads half an answer.
void answer(const fs::path& messages, const std::string& text) {
    test::writeFile(messages / "status.tmp", text);
    fs::rename(messages / "status.tmp", messages / "status");
}

void waitForRelease(const fs::path& messages) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(messages / "release") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Modes:
//   hold-lock PATH       take the lock file, answer "held" or "busy", keep it until released;
//   hold-component PATH  open the file as a component, answer "held" or "busy", keep it;
//   wait                 answer "ready" and wait for the release, holding nothing;
//   report [ARGS...]     answer with lines: working folder, executable, process id,
//                        ZARVO_PLATFORM_TEST or "<unset>", then every argument after the mode's folder;
//   exit CODE            end at once with that code;
//   say TEXT             write "out: TEXT" to standard output, then "err: TEXT" to standard error.
int runHelper(const std::vector<std::string>& arguments) {
    const std::string& mode = arguments.at(2);
    const fs::path messages = platform::pathFromUtf8(arguments.at(3));
    if (mode == "hold-lock" || mode == "hold-component") {
        const fs::path path = platform::pathFromUtf8(arguments.at(4));
        auto held = mode == "hold-lock" ? platform::openExclusiveLockFile(path) : platform::openComponentFile(path);
        answer(messages, held ? "held" : "busy");
        waitForRelease(messages);
    } else if (mode == "wait") {
        answer(messages, "ready");
        waitForRelease(messages);
    } else if (mode == "report") {
        std::string text = platform::pathToUtf8(fs::current_path()) + "\n" +
                           platform::pathToUtf8(platform::executablePath()) + "\n" +
                           std::to_string(platform::currentProcessId()) + "\n" +
                           platform::environmentVariable("ZARVO_PLATFORM_TEST").value_or("<unset>") + "\n";
        for (std::size_t i = 4; i < arguments.size(); ++i) {
            text += arguments[i] + "\n";
        }
        answer(messages, text);
    } else if (mode == "exit") {
        return std::stoi(arguments.at(4));
    } else if (mode == "say") {
        std::cout << "out: " << arguments.at(4) << std::endl;
        std::cerr << "err: " << arguments.at(4) << std::endl;
    } else {
        answer(messages, "unknown mode " + mode);
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = platform::commandLineArguments(argc, argv);
    if (arguments.size() >= 4 && arguments[1] == test::kHelperFlag) {
        try {
            return runHelper(arguments);
        } catch (const std::exception& error) {
            answer(platform::pathFromUtf8(arguments[3]), std::string("error ") + error.what());
            return 3;
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
