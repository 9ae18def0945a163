// Started processes for real: the command line and working folder a child
// receives, handles it does not inherit, waits with time-outs, ending it, the
// wait by identifier, the module path, the environment.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/locks.h"
#include "platform_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace zarvo::platform;
using zarvo::test::HelperProcess;
using zarvo::test::TempDir;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// What a "report" helper said: working folder, executable, process id, the
// test variable, then its arguments.
struct Report {
    std::vector<std::string> lines;
    std::string folder() const { return lines.at(0); }
    std::string executable() const { return lines.at(1); }
    std::string processId() const { return lines.at(2); }
    std::string variable() const { return lines.at(3); }
    std::vector<std::string> arguments() const { return {lines.begin() + 4, lines.end()}; }
};

Report report(HelperProcess& helper) {
    Report answer{linesOf(helper.status())};
    EXPECT_GE(answer.lines.size(), 4u) << (answer.lines.empty() ? "no answer" : answer.lines[0]);
    EXPECT_TRUE(helper.process().waitForExit(seconds(20)));
    if (answer.lines.size() < 4) {
        answer.lines.resize(4);
    }
    return answer;
}

TEST(StartedProcesses, ArgumentsAndWorkingFolderArriveAsGiven) {
    TempDir dir;
    const fs::path folder = dir.path() / pathFromUtf8("рабочая папка");
    fs::create_directory(folder);
    const std::vector<std::string> arguments = {
        "plain", "with space", "quote\"inside", "trailing\\", "", "Привет, мир", "back\\\\\"slash", "tab\there", "--x",
    };
    HelperProcess helper("report", arguments, folder);
    const Report answer = report(helper);
    EXPECT_EQ(answer.arguments(), arguments);
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(answer.folder()), folder)) << answer.folder();
    EXPECT_EQ(answer.processId(), std::to_string(helper.process().processId()));
    EXPECT_EQ(helper.process().howEnded()->code, 0);
}

TEST(StartedProcesses, InheritNoHandleEvenAnInheritableOne) {
    TempDir dir;
    auto lock = openExclusiveLockFile(dir / "held.lock");
    ASSERT_TRUE(lock.has_value());
    zarvo::test::makeInheritable(*lock);
    HelperProcess helper("wait", {});
    ASSERT_EQ(helper.status(), "ready");
    // Had the child a copy of the handle, the file would stay locked through it.
    lock->reset();
    EXPECT_TRUE(openExclusiveLockFile(dir / "held.lock").has_value());
    helper.release();
}

TEST(StartedProcesses, WaitsWithATimeOutAndReportsTheExitCode) {
    HelperProcess helper("wait", {});
    ASSERT_EQ(helper.status(), "ready");
    auto start = steady_clock::now();
    EXPECT_FALSE(helper.process().waitForExit(milliseconds(300)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(250));
    EXPECT_FALSE(helper.process().howEnded().has_value());
    helper.release();
    EXPECT_TRUE(helper.process().waitForExit(seconds(20)));
    EXPECT_TRUE(helper.process().waitForExit(milliseconds(0)));
    EXPECT_EQ(helper.process().howEnded()->code, 0);

    HelperProcess failing("exit", {"7"});
    ASSERT_TRUE(failing.process().waitForExit(seconds(20)));
    EXPECT_FALSE(failing.process().howEnded()->bySignal);
    EXPECT_EQ(failing.process().howEnded()->code, 7);
}

TEST(StartedProcesses, EndedAtOnce) {
    HelperProcess helper("wait", {});
    ASSERT_EQ(helper.status(), "ready");
    helper.process().end(3);
    ASSERT_TRUE(helper.process().waitForExit(seconds(20)));
#ifdef _WIN32
    EXPECT_EQ(helper.process().howEnded()->code, 3);
#else
    EXPECT_TRUE(helper.process().howEnded()->bySignal);  // POSIX cannot choose the code
#endif
    helper.process().end(3);  // an ended process can be ended again
}

TEST(StartedProcesses, AProgramThatCannotRunFailsBeforeAnythingStarts) {
    TempDir dir;
    zarvo::test::writeFile(dir / "not-a-program.exe", "text, not a program");
    for (const fs::path& program : {dir / "missing.exe", dir / "not-a-program.exe"}) {
        ProcessStart start;
        start.program = program;
        start.commandLine = L"\"" + program.wstring() + L"\"";
        start.workingFolder = dir.path();
        EXPECT_THROW(startPlatformProcess(start), std::system_error) << program.string();
    }
}

TEST(StartedProcesses, OutputAndErrorGoToTheOutputFileReplacingItsContents) {
    TempDir dir;
    const fs::path output = dir / "words.txt";
    zarvo::test::writeFile(output, "left over from an earlier run, longer than what follows\n");
    ProcessStart start;
    start.program = executablePath();
    start.arguments = {zarvo::test::kHelperFlag, "say", pathToUtf8(dir.path()), "Привет"};
    start.commandLine = zarvo::commandLineFor(pathToUtf8(start.program), start.arguments).value();
    start.workingFolder = dir.path();
    start.outputFile = output;
    ProcessHandle process = startPlatformProcess(start);
    ASSERT_TRUE(process.waitForExit(seconds(20)));
    EXPECT_EQ(process.howEnded()->code, 0);
    std::string text = zarvo::test::readText(output);
    std::erase(text, '\r');  // Windows writes CR LF
    EXPECT_EQ(text, "out: Привет\nerr: Привет\n");
}

TEST(WaitForProcessById, TimesOutWhileItRunsAndSeesItsEnd) {
    HelperProcess helper("wait", {});
    ASSERT_EQ(helper.status(), "ready");
    const auto id = static_cast<std::uint64_t>(helper.process().processId());
    auto start = steady_clock::now();
    EXPECT_EQ(waitForProcessById(id, milliseconds(300)), ProcessWait::stillRunning);
    EXPECT_GE(steady_clock::now() - start, milliseconds(250));

    helper.release();
    // Our own handle keeps the ended process known to the system.
    EXPECT_EQ(waitForProcessById(id, seconds(20)), ProcessWait::ended);
    ASSERT_TRUE(helper.process().waitForExit(seconds(20)));
    helper.process().close();
    // Gone for good now; Windows may still open it while others hold it, and
    // Wine does for a while, which reads as ended.
    start = steady_clock::now();
    EXPECT_NE(waitForProcessById(id, seconds(20)), ProcessWait::stillRunning);
    EXPECT_LT(steady_clock::now() - start, seconds(5));
    EXPECT_EQ(waitForProcessById(0x100000000ull, seconds(1)), ProcessWait::notFound);
    EXPECT_EQ(waitForProcessById(0, seconds(1)), ProcessWait::notFound);
}

TEST(RunningProcess, KnowsItsModulePathFromAnyFolder) {
    const fs::path self = executablePath();
    EXPECT_TRUE(self.is_absolute());
    EXPECT_TRUE(fs::is_regular_file(self));
    EXPECT_EQ(self.stem(), "zarvo_platform_tests");

    // CreateProcessW takes no program path beyond MAX_PATH, long-path policy
    // or not, so the copy stays below it; its name is what matters here.
    TempDir dir;
    const fs::path folder = dir.path() / pathFromUtf8("копия с пробелом") / pathFromUtf8("ещё одна папка");
    fs::create_directories(folder);
    const fs::path copy = folder / self.filename();
    fs::copy_file(self, copy);
    HelperProcess helper("report", {}, {}, copy);
    const Report answer = report(helper);
    EXPECT_EQ(answer.executable(), pathToUtf8(copy));
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(answer.folder()), folder)) << answer.folder();
}

TEST(RunningProcess, SocketsAreKeptFromChildren) {
    TempDir dir;
    auto handle = openExclusiveLockFile(dir / "stand-in");  // any handle answers the same flag
    ASSERT_TRUE(handle.has_value());
    zarvo::test::makeInheritable(*handle);
    ASSERT_TRUE(zarvo::test::isInheritable(handle->get()));
    keepSocketFromChildren(handle->get());
    EXPECT_FALSE(zarvo::test::isInheritable(handle->get()));
}

TEST(Environment, VariablesAreReadAsUtf8AndRemovedForChildrenToo) {
    zarvo::test::ScopedVariable variable("ZARVO_PLATFORM_TEST", "значение");
    EXPECT_EQ(environmentVariable("ZARVO_PLATFORM_TEST"), "значение");
    {
        HelperProcess helper("report", {});
        EXPECT_EQ(report(helper).variable(), "значение");
    }
    removeEnvironmentVariable("ZARVO_PLATFORM_TEST");
    removeEnvironmentVariable("ZARVO_PLATFORM_TEST");  // not set: no error
    EXPECT_EQ(environmentVariable("ZARVO_PLATFORM_TEST"), std::nullopt);
    HelperProcess helper("report", {});
    EXPECT_EQ(report(helper).variable(), "<unset>");

    zarvo::test::ScopedVariable empty("ZARVO_PLATFORM_TEST", "");
    EXPECT_EQ(environmentVariable("ZARVO_PLATFORM_TEST"), std::nullopt);  // empty counts as unset
}

}  // namespace
