// Activation of a new slot and the rollback to the previous one.
#include "app/activation.h"

#include "app/bootstrap.h"
#include "app/update_check.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "storage/storage_cleanup.h"
#include "trust/error.h"

namespace zarvo {
namespace {

// Starts the previous slot in place of a new one that failed; the caller then
// raises the new slot's error.
void rollBack(Bootstrap& context, const Json::Value& state, const std::string& previous, const std::string& slot) {
    if (context.cancelRequested.load() || !isValidSlotName(previous) || previous == slot) {
        return;
    }
    const auto previousFolder = DataLayout(context.dataDir).slotFolder(previous);
    launchCore(context.launchContext(), previousFolder, readStoredAnswer(previousFolder), false);
    // The state still names the previous slot as active; the new one is kept
    // so that the next run tries it again without downloading it anew.
    cleanupStorage(context.dataDir, state, slot);
}

}  // namespace

void activateSlot(Bootstrap& context, AcceptedUpdate& update, const std::filesystem::path& slotFolder) {
    context.reportStage("Открываем ZarvoLauncher", 0.95);
    const std::string oldActive = activeSlotOf(update.state);
    try {
        launchCore(context.launchContext(), slotFolder, update.answer, false);
    } catch (const Error&) {
        rollBack(context, update.state, oldActive, update.slot);
        throw;
    }
    update.state = changeBootstrapState(context.dataDir,
                                        [&update](Json::Value& state) { recordActivation(state, update.slot); });
    cleanupStorage(context.dataDir, update.state);
    context.reportStage("Готово", 1.0);
}

}  // namespace zarvo
