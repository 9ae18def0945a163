// The run context of one pre-starter process and the update flow it runs.
#pragma once

#include <json/value.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "app/update_manifest.h"
#include "launch/launch_core.h"
#include "launch/self_update.h"

namespace zarvo {

class Bootstrap {
public:
    using ProgressCallback = std::function<void(std::string stage, double fraction)>;

    // Every option of the command line; flags hold "true".
    std::map<std::string, std::string> options;
    std::filesystem::path dataDir;
    std::string serviceUrl;
    // The trust object manifests are checked against; null until start-up builds it.
    Json::Value codeTrust;
    bool allowLoopbackHttp = false;
    bool headless = false;
    // Set once by the main thread when the window's loop ends; read by the flow.
    std::atomic<bool> cancelRequested{false};
    // The window's progress hook; empty without a window.
    ProgressCallback onProgress;
    std::string lastStageText;
    std::chrono::steady_clock::time_point lastStageTime{};

    Bootstrap();

    bool hasOption(const std::string& name) const { return options.count(name) != 0; }

    // The update flow. Runs on the main thread (headless, self-replacement) or
    // on the worker thread of window mode; raises zarvo::Error on failure.
    void run();

    // The only progress report and the flow's main cancellation point: raises
    // "CANCELLED" "Обновление отменено" once cancellation was requested.
    void reportStage(const std::string& text, double fraction);
    // Progress of the core download, reported as "Загрузка приложения".
    void onDownloadProgress(std::uint64_t done, std::uint64_t total);

    // readUpdateManifest with this run's trust, platform and loopback rule.
    UpdateManifest readManifest(const Json::Value& envelope) const;
    // What the launch and the hand-over take from this run: its folder,
    // options, trust, stage reports and cancellation. They refer to this
    // object, which must outlive them.
    LaunchContext launchContext();
    SelfUpdateContext selfUpdateContext();
};

}  // namespace zarvo
