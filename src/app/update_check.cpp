#include "app/update_check.h"

#include "app/bootstrap.h"
#include "app/bootstrap_state.h"
#include "app/core_launch.h"
#include "app/update_manifest.h"
#include "net/json_request.h"
#include "platform/user_settings.h"
#include "storage/storage_cleanup.h"
#include "trust/error.h"
#include "trust/json_read.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

bool offlineStartApplies(const Bootstrap& context, const Error& error, const std::string& activeSlot) {
    return (error.code() == "NETWORK_ERROR" || error.status() > 499) && isValidSlotName(activeSlot) &&
           !context.hasOption("--no-launch");
}

void startOffline(Bootstrap& context, const Json::Value& state, const std::string& activeSlot) {
    auto slotFolder = context.dataDir / "slots" / activeSlot;
    context.reportStage("Открываем сохранённый интерфейс без подключения", 0.9);
    // The launch checks the stored answer again before anything is started from it.
    launchCore(context, slotFolder, readStoredAnswer(slotFolder), false);
    cleanupStorage(context.dataDir, state);
}

}  // namespace

void checkComponentsPublished(const Json::Value& manifest) {
    for (const char* name : {"core", "ui"}) {
        const Json::Value& component = memberOf(memberOf(manifest, "components"), name);
        auto sha256 = readText(memberOf(component, "sha256"));
        if (readInteger(memberOf(component, "coreApi")) != 1 || !sha256 || sha256->size() != 64) {
            throw Error("LOCAL_ERROR", "Компоненты приложения ещё не опубликованы");
        }
    }
}

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

    update.manifest = readUpdateManifest(context, update.answer);
    const Json::Value& offered = update.manifest;
    // The manifest check has made sure the sequence is a whole number.
    const Json::Int64 sequence = readInteger(offered["sequence"]).value();
    const Json::Int64 highest = highestSequenceOf(update.state);
    if (sequence < highest) {
        throw Error("ROLLBACK_REJECTED", "Сервер предложил устаревший манифест");
    }
    // A manifest without a sequence counts as 0; store that rather than a null
    // that other readers of the state would have to understand.
    update.state["highestSequence"] =
        offered.isMember("sequence") ? offered["sequence"] : Json::Value(Json::Int64(0));
    writeBootstrapState(context.dataDir, update.state);
    writeFileAtomic(context.dataDir / "code-trust.json", writeCompactJson(context.codeTrust));

    checkComponentsPublished(update.manifest);
    update.slot = slotNameFor(update.answer);
    return update;
}

}  // namespace zarvo
