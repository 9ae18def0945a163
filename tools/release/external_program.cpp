// Running another program for the release tool, through the platform layer.
#include "external_program.h"

#include <system_error>

#include "platform/processes.h"
#include "release_options.h"
#include "trust/verified_file.h"

namespace zarvo::release {
namespace {

namespace fs = std::filesystem;

// More than any tool the release tool runs says; a longer text is cut.
constexpr std::uintmax_t kOutputLimit = 1024 * 1024;

bool isExecutableFile(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    const auto execute = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    return !error && fs::is_regular_file(status) && (status.permissions() & execute) != fs::perms::none;
}

}  // namespace

std::optional<fs::path> findOnPath(const std::string& name) {
    const std::string path = platform::environmentVariable("PATH").value_or("");
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        // An empty or relative entry would pick the program from wherever pack was started.
        const fs::path folder = path.substr(start, end - start);
        if (folder.is_absolute() && isExecutableFile(folder / name)) {
            return folder / name;
        }
        start = end + 1;
    }
    return std::nullopt;
}

ProgramRun runProgram(const fs::path& program, const std::vector<std::string>& arguments, const fs::path& outputFile,
                      std::chrono::seconds timeout) {
    platform::ProcessStart start;
    start.program = program;
    start.arguments = arguments;
    start.workingFolder = outputFile.parent_path();
    start.outputFile = outputFile;
    platform::ProcessHandle process;
    try {
        process = platform::startPlatformProcess(start);
    } catch (const std::system_error& error) {
        throw ToolError("cannot start '" + program.string() + "': " + error.code().message());
    }
    if (!process.waitForExit(timeout)) {
        process.end(1);
        process.waitForExit(std::chrono::seconds(10));
        throw ToolError("'" + program.string() + "' did not finish within " + std::to_string(timeout.count()) +
                        " seconds and was stopped");
    }
    ProgramRun run;
    if (auto ended = process.howEnded(); ended && !ended->bySignal) {
        run.exitCode = ended->code;
    }
    try {
        run.output = readFileLimited(outputFile, kOutputLimit);
    } catch (const std::exception&) {
        run.output = "(its output could not be read)";
    }
    return run;
}

}  // namespace zarvo::release
