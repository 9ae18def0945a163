// The hand-over from one pre-starter to a newer one: the running pre-starter
// unpacks the new bundle and starts it, the new one installs itself into
// "bootstrap/current" of the data directory and starts that installed copy.
#pragma once

#include <json/value.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/update_manifest.h"

namespace zarvo {

// What the hand-over takes from the run it belongs to.
struct SelfUpdateContext {
    std::filesystem::path dataDir;
    std::string serviceUrl;
    // The run's command-line options; never null.
    const std::map<std::string, std::string>* options = nullptr;
    bool allowLoopbackHttp = false;
    bool headless = false;
    // May be set by another thread; never null.
    const std::atomic<bool>* cancelRequested = nullptr;
    // The run's stage report and cancellation point.
    std::function<void(const std::string& text, double fraction)> reportStage;
};

// The options one pre-starter hands to the next, in this order: "--data-dir",
// "--service-url", "--code-trust" (the data directory's trust file), then the
// flags "--allow-loopback-http", "--headless", "--debug" and "--no-launch"
// where they apply. Paths as "/"-separated UTF-8.
std::vector<std::string> forwardedOptions(const SelfUpdateContext& context);

// The old side, after the release's slot is installed. Does nothing and
// returns false when the release has no pre-starter bundle, when its sha256
// is the state's "bootstrapHash", with "--no-self-update", or (with a Warn
// line) when two hand-overs to this bundle have failed. Otherwise downloads
// the package, uses "bootstrap/update-<24 hex>" when it matches the bundle's
// file list and unpacks it afresh when not, counts the attempt in the state,
// starts its pre-starter in self-replacement mode and returns true: the
// caller's run then ends at once, successfully, launching nothing. A bundle
// that does not unpack (or not as its file list says) is recorded as refused
// before the error is raised. Raises the download, extraction, inventory, path
// and start errors. Update thread, under "bootstrap.lock".
bool beginSelfUpdate(const SelfUpdateContext& context, const std::optional<ReleaseComponent>& bundle,
                     const Json::Value& state);

// The whole self-replacement run: checks that this process runs from the named
// bundle and targets "bootstrap/current", waits up to 30 s for the old process
// and then up to 30 s for "bootstrap.lock", which it holds while it copies the
// bundle beside "current", swaps it in (one exchange where the system can),
// records "bootstrapHash" and clears the failed attempts; then starts the
// installed copy with the forwarded options. Nothing is touched before the
// checks pass and the lock is held. Raises "LOCAL_ERROR" with the hand-over's
// messages, "UPDATE_BUSY" "Обновление уже открыто в другом процессе", the
// standard library's errors for a missing or malformed option, and file
// system errors. Main thread, no network.
void completeSelfUpdate(const SelfUpdateContext& context);

}  // namespace zarvo
