// The run modes that show the bootstrap window. Called by start-up on the main thread.
#pragma once

#include <filesystem>
#include <string>

namespace zarvo {

class Bootstrap;

// Shows the progress window while Bootstrap::run works on a worker thread;
// closing the window cancels the flow. Returns the exit code.
int runWindowMode(Bootstrap& bootstrap, const std::filesystem::path& logPath, bool reducedMotion);
// Shows the window with fixed content (and saves a screenshot with --screenshot). Returns the exit code.
int runPreviewMode(const Bootstrap& bootstrap, const std::filesystem::path& logPath, bool reducedMotion);
// Shows a start-up failure in the error panel until the user closes it.
void showFatalErrorWindow(const std::filesystem::path& logPath, const std::string& message);

}  // namespace zarvo
