// The process-wide log: one line per event, secrets removed, kept below 2 MiB
// by rotating into one backup. Logging never fails its caller.
#pragma once

#include <filesystem>
#include <string>

namespace zarvo {

enum class LogLevel : int { Debug = 0, Info = 1, Warn = 2, Error = 3 };

// Opens the log at path (creating its folder) and sets the debug flag. The
// same path while open only changes the flag. Failures leave logging off.
void configureLog(const std::filesystem::path& path, bool debug);
// Writes one redacted line; Debug lines only in debug mode. Safe from any thread.
void logMessage(LogLevel level, const std::string& message) noexcept;
// Whether Debug lines are written; test it before building an expensive Debug message.
bool isDebugMode();

}  // namespace zarvo
