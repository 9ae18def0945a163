#include "trust/error.h"

#include "platform/files.h"

namespace zarvo {

std::string messageWithPath(const std::string& message, const std::filesystem::path& path) {
    return message + ": " + platform::pathToUtf8(path);
}

void failDiskFull() { throw Error("DISK_FULL", kDiskFullMessage); }

}  // namespace zarvo
