// The one routine that starts another program: the core, or the next
// pre-starter during a self-update.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/processes.h"

namespace zarvo {

// Starts the executable with the UTF-8 arguments (program name not included),
// in the executable's folder, with this process's environment and no inherited
// handles. The caller owns the returned handle. Raises "LOCAL_ERROR"
// "Не удалось запустить приложение"; nothing has started then. Update thread.
platform::ProcessHandle startProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments);

}  // namespace zarvo
