// The first half of the update flow: ask the service for the current release,
// or start the installed one when the service cannot be reached.
#pragma once

#include <json/value.h>

#include <optional>
#include <string>

#include "app/update_manifest.h"

namespace zarvo {

class Bootstrap;

// A release the service offered and this machine accepted.
struct AcceptedUpdate {
    Json::Value state;     // bootstrap-state.json as now written
    Json::Value answer;    // the signed envelope as received
    UpdateManifest manifest;  // its checked payload
    std::string slot;      // slotNameFor(answer)
};

// Whether the state names an installed version that may be started instead
// of the offered one: a valid active slot, and launching allowed.
bool canStartInstalledVersion(const Bootstrap& context, const Json::Value& state);
// Launches an installed slot from its stored answer, which the launch checks
// again. Raises what the launch raises. Update thread.
void launchStoredSlot(Bootstrap& context, const std::string& slot);
// Starts the active slot of the state as a start without the service does
// ("Открываем сохранённый интерфейс без подключения", the stored answer and the
// core checked again), then cleans up. Raises what the launch raises. Update
// thread, under "bootstrap.lock".
void startInstalledVersion(Bootstrap& context, const Json::Value& state);

// Runs with the update lock held. Reports "Проверка обновлений", reads the
// state, requests the answer, refuses rollbacks, records the accepted
// sequence and the trust file, and checks that the components are published.
// Returns nullopt when the service was unreachable, failing or answered with
// something that is not JSON, and the installed version was started instead.
std::optional<AcceptedUpdate> checkForUpdate(Bootstrap& context);

}  // namespace zarvo
