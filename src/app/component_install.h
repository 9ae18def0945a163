// Building a slot folder for an accepted release: a private stage folder that
// receives the core and the interface package and is published by one rename;
// and the rebuild of a slot whose files were damaged.
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
// Rebuilds the installed slot of the release when files of its core are
// changed, missing, added or linked: a new stage from the release's files, the
// damaged folder set aside for the cleanup, the stage published in its place.
// Returns false, changing nothing, when nothing is damaged or a core runs from
// the slot. Raises the install's errors; the slot is then as it was. Update
// thread, under "bootstrap.lock".
bool repairSlot(Bootstrap& context, const AcceptedUpdate& update);
// Removes the partial downloads of the release's files, freeing what they
// hold of the disk. Never raises. Update thread, under "bootstrap.lock".
void dropPartialDownloads(Bootstrap& context, const AcceptedUpdate& update);

}  // namespace zarvo
