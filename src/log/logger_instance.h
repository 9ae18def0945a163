// The one process-wide logger behind the free logging and redaction functions:
// the open log file, its size, the debug flag and the secret registry, under one mutex.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "log/logger.h"
#include "log/secret_registry.h"
#include "platform/files.h"

namespace zarvo {

// The mutex is a leaf lock: while holding it the logger touches only the
// registry, its file and the file system. Every member is safe from any thread.
class Logger {
public:
    static constexpr std::uint64_t kMaxFileSize = 2'097'152;
    static constexpr std::size_t kMaxMessageSize = 8192;

    // Created on first use, destroyed at process exit.
    static Logger& instance();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Raises std::system_error only when the mutex cannot be taken.
    void configure(const std::filesystem::path& path, bool debug);
    void write(LogLevel level, const std::string& message) noexcept;
    bool debugMode();

    void addSecret(const std::string& value);
    // A copy, so that long texts are redacted without holding the lock.
    SecretRegistry registrySnapshot();

private:
    Logger() = default;

    // Both under the lock; failures leave the file closed.
    void openFile() noexcept;
    void rotate() noexcept;

    std::mutex mutex_;
    std::filesystem::path path_;
    platform::OutputFile file_;
    std::uint64_t size_ = 0;
    bool debug_ = false;
    SecretRegistry registry_;
};

// The line for one message, line feed included: time, level label, and the
// message truncated and flattened to one line (redaction is the caller's).
std::string formatLogLine(LogLevel level, std::string message, std::int64_t unixSeconds);

}  // namespace zarvo
