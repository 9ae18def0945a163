#include "app/update_check.h"

#include "app/bootstrap.h"
#include "net/json_request.h"
#include "platform/user_settings.h"
#include "storage/bootstrap_state.h"
#include "storage/data_layout.h"
#include "storage/storage_cleanup.h"
#include "trust/error.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

bool offlineStartApplies(const Bootstrap& context, const Error& error, const std::string& activeSlot) {
    return (error.code() == "NETWORK_ERROR" || error.status() > 499) && isValidSlotName(activeSlot) &&
           !context.hasOption("--no-launch");
}

void startOffline(Bootstrap& context, const Json::Value& state, const std::string& activeSlot) {
    const auto slotFolder = DataLayout(context.dataDir).slotFolder(activeSlot);
    context.reportStage("Открываем сохранённый интерфейс без подключения", 0.9);
    // The launch checks the stored answer again before anything is started from it.
    launchCore(context.launchContext(), slotFolder, readStoredAnswer(slotFolder), false);
    cleanupStorage(context.dataDir, state);
}

}  // namespace

std::optional<AcceptedUpdate> checkForUpdate(Bootstrap& context) {
    context.reportStage("Проверка обновлений", 0.05);
    AcceptedUpdate update;
    update.state = readBootstrapState(context.dataDir);

    const std::string url = context.serviceUrl + "/api/v1/bootstrap?platform=" + platform::kPlatformName;
    try {
        update.answer = requestJson(url, "GET", Json::Value(), "", context.allowLoopbackHttp, &context.cancelRequested);
    } catch (const Error& error) {
        // A slot name that is not text is as unusable as a malformed one; the
        // request's own error must still reach the user.
        const std::string activeSlot = activeSlotOf(update.state);
        if (!offlineStartApplies(context, error, activeSlot)) {
            throw;
        }
        startOffline(context, update.state, activeSlot);
        return std::nullopt;
    }

    update.manifest = context.readManifest(update.answer);
    if (update.manifest.sequence < highestSequenceOf(update.state)) {
        throw Error("ROLLBACK_REJECTED", "Сервер предложил устаревший манифест");
    }
    // A manifest without a sequence counts as 0; store that rather than a null
    // that other readers of the state would have to understand.
    recordHighestSequence(update.state, update.manifest.sequence);
    writeBootstrapState(context.dataDir, update.state);
    writeFileAtomic(DataLayout(context.dataDir).codeTrustFile(), writeCompactJson(context.codeTrust));

    checkComponentsPublished(update.manifest);
    update.slot = slotNameFor(update.answer);
    return update;
}

}  // namespace zarvo
