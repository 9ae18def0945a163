#include "app/update_check.h"

#include "app/bootstrap.h"
#include "log/logger.h"
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

// No service, a failing one, or a page that is not the service's answer at
// all (a captive portal, a proxy's error page).
bool offlineStartApplies(const Error& error) {
    return error.code() == "NETWORK_ERROR" || error.code() == "INVALID_JSON" || error.status() > 499;
}

}  // namespace

bool canStartInstalledVersion(const Bootstrap& context, const Json::Value& state) {
    // A slot name that is not text is as unusable as a malformed one.
    return isValidSlotName(activeSlotOf(state)) && !context.hasOption("--no-launch");
}

void launchStoredSlot(Bootstrap& context, const std::string& slot) {
    const auto slotFolder = DataLayout(context.dataDir).slotFolder(slot);
    launchCore(context.launchContext(), slotFolder, readStoredAnswer(slotFolder), false);
}

void startInstalledVersion(Bootstrap& context, const Json::Value& state) {
    context.reportStage("Открываем сохранённый интерфейс без подключения", 0.9);
    launchStoredSlot(context, activeSlotOf(state));
    cleanupStorage(context.dataDir, state);
}

std::optional<AcceptedUpdate> checkForUpdate(Bootstrap& context) {
    context.reportStage("Проверка обновлений", 0.05);
    AcceptedUpdate update;
    update.state = readBootstrapState(context.dataDir);

    const std::string url = context.serviceUrl + "/api/v1/bootstrap?platform=" + platform::kPlatformName;
    try {
        update.answer = requestJson(url, "GET", Json::Value(), "", context.allowLoopbackHttp, &context.cancelRequested);
    } catch (const Error& error) {
        // Without an installed version the request's own error reaches the user.
        if (!offlineStartApplies(error) || !canStartInstalledVersion(context, update.state)) {
            throw;
        }
        logMessage(LogLevel::Info, "bootstrap.offline code=" + error.code() + " message=" + error.what());
        startInstalledVersion(context, update.state);
        return std::nullopt;
    }

    update.manifest = context.readManifest(update.answer);
    if (update.manifest.sequence < highestSequenceOf(update.state)) {
        throw Error("ROLLBACK_REJECTED", "Сервер предложил устаревший манифест");
    }
    // A manifest without a sequence counts as 0; store that rather than a null
    // that other readers of the state would have to understand.
    recordHighestSequence(update.state, update.manifest.sequence);
    recordAcceptedDigests(update.state, update.manifest.downloadDigests());
    writeBootstrapState(context.dataDir, update.state);
    writeFileAtomic(DataLayout(context.dataDir).codeTrustFile(), writeCompactJson(context.codeTrust));

    checkComponentsPublished(update.manifest);
    update.slot = slotNameFor(update.answer);
    return update;
}

}  // namespace zarvo
