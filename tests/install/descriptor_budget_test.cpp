// Verification of a component with more files than the process may hold open,
// run in a child of this test program under a lowered open-file limit (set by
// the shell's ulimit before it execs the child). Being the program's main, it
// keeps gtest_main's out of the link.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "install/component_inventory.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace {

namespace fs = std::filesystem;
using namespace zarvo;

constexpr const char* kProbeFlag = "--inventory-probe";

// The child: raises its limit as start-up does, verifies ROOT against the list
// in LIST and prints "held N" or "error CODE MESSAGE", then starts a shell
// that writes the soft limit it was given to LIMIT.
int runProbe(const std::vector<std::string>& arguments) {
    platform::raiseOpenFileLimit();
    const Json::Value files = parseStrictJson(readFileLimited(arguments.at(3), kJsonFileLimit));
    try {
        ComponentLocks locks = verifyComponentFiles(arguments.at(2), files);
        std::cout << "held " << locks.size() << '\n';
        platform::ProcessStart start;
        start.program = "/bin/sh";
        start.arguments = {"-c", "ulimit -Sn > '" + arguments.at(4) + "'"};
        start.workingFolder = "/";
        platform::ProcessHandle shell = platform::startPlatformProcess(start);
        shell.waitForExit(std::chrono::seconds(30));
    } catch (const Error& error) {
        std::cout << "error " << error.code() << ' ' << error.what() << '\n';
    }
    return 0;
}

struct Budget {
    const char* title;
    int files;
    int folders;  // the files are spread over this many subfolders
    int hardLimit;
    int softLimit;
    std::string expected;  // the child's first line, or its beginning
};

TEST(DescriptorBudget, VerificationStaysWithinTheLimitAndTheCoreGetsTheStartingOneBack) {
    const std::vector<Budget> cases = {
        // After raising the soft limit every file is held, as on a roomy system.
        {"fits once raised", 60, 1, 512, 48, "held 62"},
        // Far more files than descriptors: only the folders stay held.
        {"files beyond the limit", 700, 2, 256, 40, "held 3"},
#ifndef __SANITIZE_ADDRESS__
        // Not even the folders fit: said as what it is, not as a busy file.
        // Not in the sanitized build: UBSan proves an object's type by writing
        // it through a pipe, and with every descriptor taken it reports a bad
        // type where there is none and stops the program.
        {"folders beyond the limit", 300, 300, 128, 64,
         "error LOCAL_ERROR Не хватает дескрипторов файлов для проверки файлов приложения: "},
#endif
    };
    for (const Budget& c : cases) {
        SCOPED_TRACE(c.title);
        test::TempDir dir;
        Json::Value list(Json::objectValue);
        for (int i = 0; i < c.files; ++i) {
            const std::string name = "d" + std::to_string(i % c.folders) + "/f" + std::to_string(i);
            const std::string bytes = "file " + std::to_string(i);
            test::writeFile(dir / "core" / name, bytes);
            list[name] = hashBytes(bytes, "sha256");
        }
        test::writeFile(dir / "list.json", writeCompactJson(list));
        const std::string script = "ulimit -Sn " + std::to_string(c.softLimit) + " && ulimit -Hn " +
                                   std::to_string(c.hardLimit) + " && exec \"$0\" \"$@\"";
        const test::ChildResult result =
            test::runChild("/bin/sh", {"-c", script, platform::executablePath().string(), kProbeFlag,
                                       (dir / "core").string(), (dir / "list.json").string(),
                                       (dir / "limit").string()});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_EQ(result.standardOutput.substr(0, c.expected.size()), c.expected) << result.standardOutput;
        if (c.expected.starts_with("held")) {
            EXPECT_EQ(test::readFile(dir / "limit"), std::to_string(c.softLimit) + "\n");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = platform::commandLineArguments(argc, argv);
    if (arguments.size() == 5 && arguments[1] == kProbeFlag) {
        return runProbe(arguments);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
