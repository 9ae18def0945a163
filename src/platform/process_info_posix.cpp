#include "platform/process_info.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {

std::filesystem::path executablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        throw std::system_error(error, "readlink /proc/self/exe");
    }
    return path;
}

std::int64_t currentProcessId() noexcept { return static_cast<std::int64_t>(::getpid()); }

}  // namespace zarvo::platform
