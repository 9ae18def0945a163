// Activation of a slot: its launch (with one repair of a damaged core), the
// record of the slot that came up, and the fall-back to the previous slot.
#include "app/activation.h"

#include "app/bootstrap.h"
#include "app/component_install.h"
#include "app/update_check.h"
#include "log/logger.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "storage/storage_cleanup.h"
#include "trust/error.h"

namespace zarvo {
namespace {

// A new release whose core has not come up this many runs in a row is no
// longer tried until the service names another one.
constexpr int kFailedRunsBeforeSkipping = 3;

// Launches the release's slot. A core whose files were damaged (a quarantined
// or edited file) is rebuilt once from the release and launched again: the
// answer was verified just now, so it vouches for what is fetched.
void launchRepairingOnce(Bootstrap& context, const AcceptedUpdate& update, const std::filesystem::path& slotFolder) {
    try {
        launchCore(context.launchContext(), slotFolder, update.answer, false);
        return;
    } catch (const Error& error) {
        if (error.code() != "COMPONENT_CHANGED" || !repairSlot(context, update)) {
            throw;
        }
    }
    launchCore(context.launchContext(), slotFolder, update.answer, false);
}

bool hasPreviousToStart(const Bootstrap& context, const std::string& previous, const std::string& slot) {
    return !context.cancelRequested.load() && isValidSlotName(previous) && previous != slot;
}

}  // namespace

void activateSlot(Bootstrap& context, AcceptedUpdate& update, const std::filesystem::path& slotFolder) {
    context.reportStage("Открываем ZarvoLauncher", 0.95);
    const std::string oldActive = activeSlotOf(update.state);
    const int failedRuns = failedRunsOf(update.state, update.slot);
    if (failedRuns >= kFailedRunsBeforeSkipping && hasPreviousToStart(context, oldActive, update.slot)) {
        logMessage(LogLevel::Warn, "bootstrap.slot-skipped slot=" + update.slot +
                                       " failedRuns=" + std::to_string(failedRuns) + " started=" + oldActive);
        launchStoredSlot(context, oldActive);
        // Kept, so that it is not downloaded again once it is tried again.
        cleanupStorage(context.dataDir, update.state, update.slot);
        context.reportStage("Готово", 1.0);
        return;
    }
    try {
        launchRepairingOnce(context, update, slotFolder);
    } catch (const Error& error) {
        if (!hasPreviousToStart(context, oldActive, update.slot)) {
            throw;
        }
        logMessage(LogLevel::Warn, "bootstrap.rollback slot=" + update.slot + " code=" + error.code() +
                                       " message=" + error.what() + " started=" + oldActive);
        // A previous slot that fails too ends the run with its own error.
        launchStoredSlot(context, oldActive);
        // The state still names the previous slot as active; the new one is kept
        // so that the next run tries it again without downloading it anew.
        update.state = changeBootstrapState(context.dataDir,
                                            [&update](Json::Value& state) { recordFailedRun(state, update.slot); });
        cleanupStorage(context.dataDir, update.state, update.slot);
        context.reportStage("Готово", 1.0);
        return;
    }
    update.state = changeBootstrapState(context.dataDir, [&update](Json::Value& state) {
        recordActivation(state, update.slot);
        clearFailedRuns(state);
    });
    cleanupStorage(context.dataDir, update.state);
    context.reportStage("Готово", 1.0);
}

}  // namespace zarvo
