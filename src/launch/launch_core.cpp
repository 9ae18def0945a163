// One launch attempt: verify, start, and poll for the ready file; an attempt
// without confirmation is ended and, the first time, retried with software
// rendering.
#include "launch/launch_core.h"

#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "install/component_inventory.h"
#include "install/safe_path.h"
#include "launch/start_process.h"
#include "storage/data_layout.h"
#include "log/logger.h"
#include "platform/file_entries.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "trust/error.h"
#include "trust/hashing.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

constexpr std::uintmax_t kReadyFileLimit = 128;
constexpr int kEndedExitCode = 1;

std::vector<std::string> coreArguments(const LaunchContext& context, const std::filesystem::path& slot,
                                       const std::filesystem::path& readyFile, const std::string& token,
                                       bool softwareRendering) {
    using platform::pathToGenericUtf8;
    std::vector<std::string> arguments = {
        "--data-dir", pathToGenericUtf8(context.dataDir),
        "--bootstrap-receipt", pathToGenericUtf8(slotManifestFile(slot)),
        "--code-trust", pathToGenericUtf8(DataLayout(context.dataDir).codeTrustFile()),
        "--ui-package", pathToGenericUtf8(slotInterfacePackage(slot)),
        "--ready-file", pathToGenericUtf8(readyFile),
        "--ready-token", token,
    };
    if (context.allowLoopbackHttp) {
        arguments.push_back("--allow-loopback-http");
    }
    if (softwareRendering) {
        arguments.push_back("--software-renderer");
    }
    if (context.debug) {
        arguments.push_back("--debug");
    }
    return arguments;
}

// Ends a core that did not confirm, gives it time to go away, and drops what it
// may have left at the ready path: with the process gone nothing writes there
// any more. Never raises, as it also runs on the way out of a failure.
void endAttempt(platform::ProcessHandle& process, const LaunchTiming& timing,
                const std::filesystem::path& readyFile) noexcept {
    try {
        if (!process.waitForExit(std::chrono::milliseconds(0))) {
            process.end(kEndedExitCode);
            if (!process.waitForExit(timing.endWait)) {
                logMessage(LogLevel::Warn, "bootstrap.launch-end timeout=true");
            }
        }
    } catch (const std::system_error& error) {
        logMessage(LogLevel::Warn, std::string("bootstrap.launch-end error=") + error.what());
    }
    process.close();
    std::error_code ignored;
    platform::removeEntry(readyFile, ignored);
}

bool somethingAt(const std::filesystem::path& path) {
    std::error_code error;
    return platform::entryKind(path, error) != platform::EntryKind::missing && !error;
}

enum class Outcome { Confirmed, NotConfirmed };

// One look: cancellation first and the process's end last, so a core that
// writes its token and exits at once still counts. Nothing when it is to go on.
std::optional<Outcome> pollOnce(const LaunchContext& context, platform::ProcessHandle& process,
                                const std::filesystem::path& readyFile, const std::string& token) {
    if (context.cancelRequested->load()) {
        throw Error("CANCELLED", "Запуск отменён");
    }
    if (somethingAt(readyFile) && readFileLimited(readyFile, kReadyFileLimit) == token) {
        return Outcome::Confirmed;
    }
    if (process.waitForExit(std::chrono::milliseconds(0))) {
        // What support needs first when a core never comes up.
        if (auto ended = process.howEnded()) {
            logMessage(LogLevel::Warn, std::string("bootstrap.core-ended ") + (ended->bySignal ? "signal=" : "exit=") +
                                           std::to_string(ended->code));
        }
        return Outcome::NotConfirmed;
    }
    return std::nullopt;
}

// Each pause ends early when something appears in the slot folder, so a core
// that confirms at once is seen at once; the number and length of the pauses,
// and so the longest wait, stay the same.
Outcome awaitReadyFile(const LaunchContext& context, platform::ProcessHandle& process,
                       const std::filesystem::path& readyFile, const std::string& token) {
    platform::FolderWatch watch(readyFile.parent_path());
    for (int polls = context.timing.polls; polls > 0; --polls) {
        const auto pauseEnd = std::chrono::steady_clock::now() + context.timing.pause;
        for (;;) {
            if (auto outcome = pollOnce(context, process, readyFile, token)) {
                return *outcome;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                pauseEnd - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            watch.waitForChange(left);
        }
    }
    return Outcome::NotConfirmed;
}

}  // namespace

void launchCore(const LaunchContext& context, const std::filesystem::path& slotFolder, const Json::Value& stored,
                bool softwareRendering) {
    const std::filesystem::path slot = std::filesystem::absolute(slotFolder);
    const UpdateManifest manifest = context.readManifest(stored);
    // Held until this attempt, and a second attempt started from it, has ended.
    ComponentLocks locks = verifyComponentFiles(slotCoreFolder(slot), manifest.core.files());

    const std::string token = randomHexName();
    const std::filesystem::path readyFile = slotReadyFile(slot, token);
    const std::filesystem::path executable = resolveInstallPath(slotCoreFolder(slot), manifest.core.entry());
    const auto arguments = coreArguments(context, slot, readyFile, token, softwareRendering);

    logMessage(LogLevel::Info, "bootstrap.launch core=" + manifest.core.versionText() +
                                   " ui=" + manifest.ui.versionText() +
                                   " software=" + (softwareRendering ? "true" : "false"));
    platform::ProcessHandle process = startProcess(executable, arguments);

    Outcome outcome;
    try {
        outcome = awaitReadyFile(context, process, readyFile, token);
    } catch (...) {
        // Cancelled, or the ready path could not be read: a core that has not
        // confirmed must not stay running beside the one started next.
        endAttempt(process, context.timing, readyFile);
        throw;
    }

    if (outcome == Outcome::Confirmed) {
        process.close();  // the core goes on running on its own
        platform::removeEntry(readyFile);
        logMessage(LogLevel::Info, "bootstrap.first-frame confirmed");
        locks.release();
        return;
    }

    endAttempt(process, context.timing, readyFile);
    if (!softwareRendering) {
        context.reportStage("Включаем совместимый режим графики", 0.95);
        launchCore(context, slotFolder, stored, true);
        return;
    }
    throw Error("STARTUP_FAILED", "Новая версия не открыла интерфейс. Восстанавливаем предыдущую.");
}

}  // namespace zarvo
