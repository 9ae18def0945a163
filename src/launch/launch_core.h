// Starting the installed core of a slot and waiting until it confirms that its
// first frame is on screen, with a second attempt in compatible graphics mode.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include <json/value.h>

#include "app/update_manifest.h"

namespace zarvo {

// How long one attempt waits for the ready file.
struct LaunchTiming {
    int polls = 200;
    std::chrono::milliseconds pause{100};
    // Wait for an ended process to go away.
    std::chrono::milliseconds endWait{5000};
};

// What a launch takes from the run that asks for it.
struct LaunchContext {
    std::filesystem::path dataDir;
    bool allowLoopbackHttp = false;
    bool debug = false;
    // Read at every poll; may be set by another thread. Never null.
    const std::atomic<bool>* cancelRequested = nullptr;
    // The check of a signed answer against the run's trust.
    std::function<UpdateManifest(const Json::Value& envelope)> readManifest;
    // The run's stage report and cancellation point.
    std::function<void(const std::string& text, double fraction)> reportStage;
    LaunchTiming timing;
};

// Verifies the stored manifest and the installed core of slotFolder, starts
// the core and returns once it has written its ready token; the core keeps
// running. Raises the verification errors, "LOCAL_ERROR" "Не удалось запустить
// приложение", "CANCELLED" "Запуск отменён" or "STARTUP_FAILED". A core that
// did not confirm has been ended. Update thread.
void launchCore(const LaunchContext& context, const std::filesystem::path& slotFolder, const Json::Value& stored,
                bool softwareRendering);

}  // namespace zarvo
