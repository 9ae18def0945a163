// Stage reports: log on change, forward to the window, print when headless,
// throttle repeats, and stop when the user cancelled.
#include "app/bootstrap.h"

#include <iostream>

#include "log/logger.h"
#include "trust/error.h"

namespace zarvo {
namespace {

constexpr auto kThrottle = std::chrono::milliseconds(80);

}  // namespace

void Bootstrap::reportStage(const std::string& text, double fraction) {
    if (cancelRequested.load()) {
        throw Error("CANCELLED", "Обновление отменено");
    }
    auto now = std::chrono::steady_clock::now();
    bool changed = text != lastStageText;
    if (!changed && fraction < 1.0 && now - lastStageTime < kThrottle) {
        return;
    }
    if (changed) {
        logMessage(LogLevel::Info, "bootstrap.stage " + text);
    }
    lastStageText = text;
    lastStageTime = now;
    if (onProgress) {
        onProgress(text, fraction);
    }
    if (headless && changed) {
        std::cout << text << '\n' << std::flush;
    }
}

void Bootstrap::onDownloadProgress(std::uint64_t done, std::uint64_t total) {
    if (total == 0) {
        return;
    }
    reportStage("Загрузка приложения",
                static_cast<double>(done) * 0.5 / static_cast<double>(total) + 0.15);
}

}  // namespace zarvo
