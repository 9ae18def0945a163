// The run modes that show the bootstrap window. Called by start-up on the main thread.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace zarvo {

class Bootstrap;
class BootstrapWindow;

// Shows the progress window while Bootstrap::run works on a worker thread;
// closing the window cancels the flow. Returns the exit code.
int runWindowMode(Bootstrap& bootstrap, const std::filesystem::path& logPath, bool reducedMotion);
// Shows the window with fixed content (and saves a screenshot with --screenshot). Returns the exit code.
int runPreviewMode(const Bootstrap& bootstrap, const std::filesystem::path& logPath, bool reducedMotion);
// Shows a start-up failure in the error panel until the user closes it.
void showFatalErrorWindow(const std::filesystem::path& logPath, const std::string& message);

// Runs flow on a worker thread; its stage reports reach the window through
// bootstrap.onProgress. Success hides the window; a failure shows the error
// panel until the user closes it. When the loop ends, cancellation is set,
// FLTK's lock released and the worker joined. The caller holds FLTK's lock
// and has shown the window; returns with the lock released and onProgress
// cleared. Returns the exit code: 1 when the flow raised, else 0. Main thread.
int runFlowWithWindow(Bootstrap& bootstrap, BootstrapWindow& window, const std::function<void()>& flow);

}  // namespace zarvo
