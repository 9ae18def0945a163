// The update flow on a worker thread while the main thread runs the
// bootstrap window's event loop.
#pragma once

#include <functional>

namespace zarvo {

class Bootstrap;
class BootstrapWindow;

// Runs flow on a worker thread; its stage reports reach the window through
// bootstrap.onProgress. Success hides the window; a failure shows the error
// panel until the user closes it. When the loop ends, cancellation is set,
// FLTK's lock released and the worker joined. The caller holds FLTK's lock
// and has shown the window; returns with the lock released and onProgress
// cleared. Returns the exit code: 1 when the flow raised, else 0. Main thread.
int runFlowWithWindow(Bootstrap& bootstrap, BootstrapWindow& window, const std::function<void()>& flow);

}  // namespace zarvo
