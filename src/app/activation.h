// Starting an installed slot and making it the active one once its core has
// confirmed its first frame, or falling back to the previous slot.
#pragma once

#include <filesystem>

namespace zarvo {

class Bootstrap;
struct AcceptedUpdate;

// Launches the slot; on success records it as activeSlot (the old one becomes
// previousSlot) and cleans up storage. On a zarvo::Error from the launch the
// previously active slot is started (unless cancelled) and the error raised
// again; the state is not written then. Update thread, under "bootstrap.lock".
void activateSlot(Bootstrap& context, AcceptedUpdate& update, const std::filesystem::path& slotFolder);

}  // namespace zarvo
