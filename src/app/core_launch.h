// The update flow's launch of a slot's core, with the run's own trust, options,
// stage reports and cancellation.
#pragma once

#include <filesystem>

#include <json/value.h>

namespace zarvo {

class Bootstrap;

// launchCore of the launch library for this run: the stored answer is checked
// with readUpdateManifest, stages go through reportStage. Raises what that
// launch raises. Update thread.
void launchCore(Bootstrap& context, const std::filesystem::path& slotFolder, const Json::Value& stored,
                bool softwareRendering);

}  // namespace zarvo
