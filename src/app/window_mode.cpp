// Until the bootstrap window exists, window mode runs the flow without a window.
#include "app/window_mode.h"

#include "app/bootstrap.h"

namespace zarvo {

int runWindowMode(Bootstrap& bootstrap, const std::filesystem::path&, bool) {
    bootstrap.run();
    return 0;
}

int runPreviewMode(const Bootstrap&, const std::filesystem::path&, bool) { return 1; }

void showFatalErrorWindow(const std::filesystem::path&, const std::string&) {}

}  // namespace zarvo
