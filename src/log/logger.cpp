// The log file: one formatted, redacted line per call, appended and flushed at
// once, rotated into a single backup before the file would pass 2 MiB.
#include "log/logger_instance.h"

#include <chrono>
#include <cstdio>
#include <system_error>

#include "platform/files.h"

namespace zarvo {

namespace {

constexpr std::string_view kTruncatedSuffix = " [truncated]";

std::string_view levelLabel(LogLevel level) {
    switch (static_cast<int>(level)) {
    case 0:
        return "DEBUG";
    case 1:
        return "INFO";
    case 2:
        return "WARN";
    default:
        return "ERROR";
    }
}

// "YYYY-MM-DDTHH:MM:SSZ" in UTC. Floor division keeps times before 1970 on
// their real calendar second instead of rounding towards the epoch.
std::string formatUtcTime(std::int64_t unixSeconds) {
    using namespace std::chrono;
    sys_seconds time{seconds{unixSeconds}};
    sys_days day = floor<days>(time);
    year_month_day date{day};
    hh_mm_ss<seconds> clock{time - day};
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

std::int64_t currentUnixSeconds() {
    using namespace std::chrono;
    return floor<seconds>(system_clock::now()).time_since_epoch().count();
}

}  // namespace

std::string formatLogLine(LogLevel level, std::string message, std::int64_t unixSeconds) {
    if (message.size() > Logger::kMaxMessageSize) {
        // A byte cut: it may split a UTF-8 character, which a log reader tolerates.
        message.resize(Logger::kMaxMessageSize);
        message.append(kTruncatedSuffix);
    }
    for (char& c : message) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    std::string line = formatUtcTime(unixSeconds);
    line.append(" [").append(levelLabel(level)).append("] ").append(message).push_back('\n');
    return line;
}

Logger& Logger::instance() {
    static Logger logger;
    return logger;
}

void Logger::configure(const std::filesystem::path& path, bool debug) {
    std::lock_guard lock(mutex_);
    debug_ = debug;
    if (path == path_ && file_.isOpen()) {
        return;
    }
    file_.close();
    path_ = path;
    openFile();
}

void Logger::openFile() noexcept {
    try {
        if (path_.has_parent_path()) {
            platform::createPrivateFolders(path_.parent_path());
        }
        // Close-on-exec, so the started core never inherits the log.
        file_ = platform::OutputFile(path_, platform::OutputMode::Append);
        std::error_code sizeError;
        std::uintmax_t size = std::filesystem::file_size(path_, sizeError);
        size_ = sizeError ? 0 : static_cast<std::uint64_t>(size);
    } catch (...) {
        // Logging stays off; it never fails the program it serves.
        file_.close();
        size_ = 0;
    }
}

void Logger::rotate() noexcept {
    file_.close();
    try {
        std::filesystem::path backup = path_;
        backup += ".1";
        std::error_code ignored;
        std::filesystem::remove(backup, ignored);
        std::error_code renameError;
        std::filesystem::rename(path_, backup, renameError);
        if (!renameError) {
            openFile();
            return;
        }
        // The backup cannot be replaced (held open elsewhere, say): start the live
        // file over, so that it still never grows past the limit.
        file_ = platform::OutputFile(path_, platform::OutputMode::Truncate);
    } catch (...) {
        file_.close();
    }
    size_ = 0;
}

void Logger::write(LogLevel level, const std::string& message) noexcept {
    try {
        std::lock_guard lock(mutex_);
        if (!file_.isOpen()) {
            return;
        }
        if (level == LogLevel::Debug && !debug_) {
            return;
        }
        // Redaction comes first, so a secret beyond the cut is never half written.
        std::string line = formatLogLine(level, registry_.redact(message), currentUnixSeconds());
        if (size_ + line.size() > kMaxFileSize) {
            rotate();
        }
        if (file_.isOpen()) {
            try {
                // One unbuffered write per line: nothing is pending at exit.
                file_.write(line.data(), line.size());
            } catch (const std::system_error&) {
                // Counted anyway, so a failing file is rotated and reopened in time.
            }
        }
        size_ += line.size();
    } catch (...) {
        // The line is lost; the caller is never disturbed.
    }
}

bool Logger::debugMode() {
    std::lock_guard lock(mutex_);
    return debug_;
}

void Logger::addSecret(const std::string& value) {
    if (value.size() < SecretRegistry::kMinLength || value.size() > SecretRegistry::kMaxLength) {
        return;
    }
    std::lock_guard lock(mutex_);
    registry_.add(value);
}

SecretRegistry Logger::registrySnapshot() {
    std::lock_guard lock(mutex_);
    return registry_;
}

void configureLog(const std::filesystem::path& path, bool debug) {
    Logger::instance().configure(path, debug);
}

void logMessage(LogLevel level, const std::string& message) noexcept {
    Logger::instance().write(level, message);
}

bool isDebugMode() {
    return Logger::instance().debugMode();
}

}  // namespace zarvo
