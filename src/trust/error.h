// The one exception type of the pre-starter: a code the program tests, the
// HTTP status of the answer that caused it (0 otherwise) and the Russian
// message the user sees.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace zarvo {

class Error : public std::runtime_error {
public:
    Error(std::string code, const std::string& message, std::int32_t status = 0)
        : std::runtime_error(message), status_(status), code_(std::move(code)) {}

    const std::string& code() const noexcept { return code_; }
    std::int32_t status() const noexcept { return status_; }

private:
    std::int32_t status_;
    std::string code_;
};

// A write that found the disk or the user's quota full, wherever it happened:
// "DISK_FULL" with the one message the player can act on. The log, not the
// message, keeps the path and the system's reason.
inline constexpr const char* kDiskFullMessage = "Недостаточно места на диске. Освободите место и запустите снова.";
[[noreturn]] void failDiskFull();

// The message form for errors about a file: "<message>: <path in UTF-8>".
std::string messageWithPath(const std::string& message, const std::filesystem::path& path);

}  // namespace zarvo
