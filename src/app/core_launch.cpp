// Binds the launch library, which knows nothing of the update flow, to the
// run context.
#include "app/core_launch.h"

#include "app/bootstrap.h"
#include "app/update_manifest.h"
#include "launch/launch_core.h"

namespace zarvo {

void launchCore(Bootstrap& context, const std::filesystem::path& slotFolder, const Json::Value& stored,
                bool softwareRendering) {
    LaunchContext launch;
    launch.dataDir = context.dataDir;
    launch.allowLoopbackHttp = context.allowLoopbackHttp;
    launch.debug = context.hasOption("--debug");
    launch.cancelRequested = &context.cancelRequested;
    launch.readManifest = [&context](const Json::Value& envelope) { return readUpdateManifest(context, envelope); };
    launch.reportStage = [&context](const std::string& text, double fraction) { context.reportStage(text, fraction); };
    launchCore(launch, slotFolder, stored, softwareRendering);
}

}  // namespace zarvo
