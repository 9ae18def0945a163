// Facts about the running process.
#pragma once

#include <cstdint>
#include <filesystem>

namespace zarvo::platform {

// Absolute path of the running executable. Raises std::system_error.
std::filesystem::path executablePath();
std::int64_t currentProcessId() noexcept;

}  // namespace zarvo::platform
