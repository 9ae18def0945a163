#include "app/forward_to_installed.h"

#include <chrono>
#include <filesystem>

#include "app/bootstrap.h"
#include "install/component_inventory.h"
#include "install/safe_path.h"
#include "launch/start_process.h"
#include "log/logger.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "trust/error.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// Set in the stand-in's environment only: it must never forward again.
constexpr const char* kForwardedMark = "ZARVO_FORWARDED";

// Why a run does not forward; quiet ones are the ordinary cases of a data
// folder that has no installed copy (yet).
struct Skip {
    std::string reason;
    bool quiet = false;
};

class Skipped : public std::exception {
public:
    explicit Skipped(Skip skip) : skip_(std::move(skip)) {}
    const Skip& skip() const noexcept { return skip_; }
    const char* what() const noexcept override { return skip_.reason.c_str(); }

private:
    Skip skip_;
};

[[noreturn]] void skip(const std::string& reason, bool quiet = false) { throw Skipped(Skip{reason, quiet}); }

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    const bool same = fs::equivalent(a, b, error);
    return !error && same;
}

// The installed copy's program, verified against the bundle the state
// records as installed, and the locks that keep it so until it has started.
struct Installed {
    fs::path program;
    ComponentLocks locks;
};

Installed checkedInstalledCopy(const Bootstrap& bootstrap) {
    const DataLayout layout(bootstrap.dataDir);
    const Json::Value state = readBootstrapState(bootstrap.dataDir);
    const std::string hash = bootstrapHashOf(state);
    if (hash.empty()) {
        skip("nothing-installed", true);
    }
    const std::string active = activeSlotOf(state);
    if (!isValidSlotName(active)) {
        skip("no-active-slot", true);
    }
    // Read as every stored answer is: signature, trust and rules again.
    const UpdateManifest manifest = bootstrap.readManifest(readStoredAnswer(layout.slotFolder(active)));
    if (!manifest.bootstrap || manifest.bootstrap->sha256() != hash) {
        skip("other-bundle");
    }
    const ReleaseComponent& bundle = *manifest.bootstrap;
    if (!bundle.files().isObject() || bundle.files().empty()) {
        skip("no-file-list");
    }
    const fs::path current = layout.currentBootstrap();
    Installed installed;
    installed.program = resolveInstallPath(current, bundle.entry());
    if (sameFile(platform::executablePath(), installed.program)) {
        skip("installed-copy", true);
    }
    installed.locks = verifyComponentFiles(current, bundle.files());
    return installed;
}

// Once the copy runs, this process only waits: a second run of the update
// beside it is never an option, so a wait that fails is a failed run.
int awaitStandIn(platform::ProcessHandle& process) noexcept {
    int code = 1;
    try {
        while (!process.waitForExit(std::chrono::hours(1))) {
        }
        const std::optional<platform::ProcessEnd> end = process.howEnded();
        // Killed by a signal, or an end the system did not report: a failed run.
        code = end && !end->bySignal ? end->code : 1;
    } catch (const std::exception& error) {
        logMessage(LogLevel::Error, std::string("bootstrap.forward-wait ") + error.what());
    }
    logMessage(LogLevel::Info, "bootstrap.forward-ended code=" + std::to_string(code));
    return code;
}

}  // namespace

bool takeForwardedMark() {
    const bool marked = platform::environmentVariable(kForwardedMark).has_value();
    platform::removeEnvironmentVariable(kForwardedMark);
    return marked;
}

std::optional<int> forwardToInstalled(const Bootstrap& bootstrap, const std::vector<std::string>& arguments,
                                      bool forwarded) {
    if (forwarded || bootstrap.hasOption("--self-replace") || bootstrap.hasOption("--no-self-update")) {
        return std::nullopt;
    }
    try {
        Installed installed = checkedInstalledCopy(bootstrap);
        const std::vector<std::string> own(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end());
        platform::setEnvironmentVariable(kForwardedMark, "1");
        platform::ProcessHandle process;
        try {
            process = startStandIn(installed.program, own, StandInStart{fs::current_path()});
        } catch (...) {
            platform::removeEnvironmentVariable(kForwardedMark);
            throw;
        }
        platform::removeEnvironmentVariable(kForwardedMark);
        // Started: the copy checks itself from here on, and a hand-over of its
        // own must be free to move "current" aside.
        installed.locks.release();
        logMessage(LogLevel::Info, "bootstrap.forward target=" + platform::pathToGenericUtf8(installed.program) +
                                       " pid=" + std::to_string(process.processId()));
        return awaitStandIn(process);
    } catch (const Skipped& skipped) {
        logMessage(skipped.skip().quiet ? LogLevel::Debug : LogLevel::Warn,
                   "bootstrap.forward-skipped reason=" + skipped.skip().reason);
    } catch (const std::exception& error) {
        logMessage(LogLevel::Warn, std::string("bootstrap.forward-skipped reason=") + error.what());
    }
    return std::nullopt;
}

}  // namespace zarvo
