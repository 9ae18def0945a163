// The run modes with a window: the update flow with the progress window, the
// preview, and the window that shows a failure at start-up.
#include "app/window_mode.h"

#include <FL/Fl.H>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <thread>

#include "app/bootstrap.h"
#include "log/logger.h"
#include "platform/display.h"
#include "platform/files.h"
#include "trust/error.h"
#include "ui/bootstrap_window.h"

namespace zarvo {
namespace {

constexpr double kWaitSeconds = 0.1;
constexpr double kScreenshotWaitSeconds = 0.02;
constexpr auto kScreenshotDelay = std::chrono::milliseconds(650);

void requireDisplay() {
    if (!platform::openDisplay()) {
        throw Error("LOCAL_ERROR", "Не удалось открыть окно: нет доступа к дисплею. Для запуска без окна укажите --headless");
    }
}

}  // namespace

int runFlowWithWindow(Bootstrap& bootstrap, BootstrapWindow& window, const std::function<void()>& flow) {
    BootstrapWindow* target = &window;
    bootstrap.onProgress = [target](std::string stage, double fraction) {
        Fl::lock();
        target->setStatus(std::move(stage), fraction);
        Fl::unlock();
        Fl::awake();
    };

    std::string workerError;
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        try {
            flow();
        } catch (const std::exception& error) {
            workerError = error.what();
            logMessage(LogLevel::Error, workerError);
        }
        workerDone.exchange(true);
        Fl::awake();
    });

    while (window.shown()) {
        Fl::wait(kWaitSeconds);
        if (workerDone.load()) {
            if (!workerError.empty()) {
                window.setError(workerError);  // stays open until the user closes it
            } else {
                window.hide();
            }
        }
    }

    bootstrap.cancelRequested.exchange(true);
    // A worker blocked in onProgress needs the lock to finish and see the cancellation.
    Fl::unlock();
    worker.join();
    bootstrap.onProgress = nullptr;
    return workerError.empty() ? 0 : 1;
}

int runWindowMode(Bootstrap& bootstrap, const std::filesystem::path& logPath, bool reducedMotion) {
    requireDisplay();
    Fl::lock();
    auto window = std::make_unique<BootstrapWindow>(logPath, reducedMotion);
    window->show();
    const int exitCode = runFlowWithWindow(bootstrap, *window, [&bootstrap] { bootstrap.run(); });
    Fl::lock();
    window.reset();
    Fl::unlock();
    return exitCode;
}

int runPreviewMode(const Bootstrap& bootstrap, const std::filesystem::path& logPath, bool reducedMotion) {
    requireDisplay();
    Fl::lock();
    auto window = std::make_unique<BootstrapWindow>(logPath, reducedMotion);
    window->setStatus("Проверка обновлений", 0.64);
    if (bootstrap.hasOption("--preview-error")) {
        window->setError("Сервер обновлений недоступен. Проверьте подключение к интернету и запустите лаунчер снова.");
    }
    window->show();

    int exitCode = 0;
    auto screenshot = bootstrap.options.find("--screenshot");
    if (screenshot == bootstrap.options.end()) {
        while (window->shown()) {
            Fl::wait(kWaitSeconds);
        }
    } else {
        const auto start = std::chrono::steady_clock::now();
        while (window->shown() && std::chrono::steady_clock::now() - start < kScreenshotDelay) {
            Fl::wait(kScreenshotWaitSeconds);
        }
        exitCode = window->saveScreenshot(platform::pathFromUtf8(screenshot->second)) ? 0 : 1;
        window->hide();
    }
    window.reset();
    Fl::unlock();
    return exitCode;
}

void showFatalErrorWindow(const std::filesystem::path& logPath, const std::string& message) {
    // Without a display the message still reaches standard error and the log.
    if (!platform::openDisplay()) {
        return;
    }
    Fl::lock();
    auto window = std::make_unique<BootstrapWindow>(logPath, false);
    window->setError(message);
    window->show();
    while (window->shown()) {
        Fl::wait(kWaitSeconds);
    }
    window.reset();
    Fl::unlock();
}

}  // namespace zarvo
