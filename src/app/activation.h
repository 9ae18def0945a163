// Starting an installed slot and making it the active one once its core has
// confirmed its first frame, or falling back to the previous slot.
#pragma once

#include <filesystem>

namespace zarvo {

class Bootstrap;
struct AcceptedUpdate;

// Launches the slot, repairing a damaged core once; on success records it as
// activeSlot (the old one becomes previousSlot), clears its failed runs and
// cleans up storage. When a new slot fails to come up, the active slot is
// started instead (unless cancelled), the failed run is recorded and the run
// ends successfully; a new slot that failed three runs in a row is not tried
// again. Raises the launch's error when nothing could be started. Update
// thread, under "bootstrap.lock".
void activateSlot(Bootstrap& context, AcceptedUpdate& update, const std::filesystem::path& slotFolder);

}  // namespace zarvo
