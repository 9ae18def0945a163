// Building a slot folder for an accepted release: a private stage folder that
// receives the core and the interface package and is published by one rename.
#pragma once

#include <filesystem>

namespace zarvo {

class Bootstrap;
struct AcceptedUpdate;

// Makes sure dataDir/slots/<slot> holds a complete installation of the
// release and returns that folder. An installed slot is left as it is; an
// unfinished one is removed under its slot lock ("UPDATE_BUSY" when another
// process holds it). Update thread, under "bootstrap.lock".
std::filesystem::path installSlot(Bootstrap& context, const AcceptedUpdate& update);

}  // namespace zarvo
