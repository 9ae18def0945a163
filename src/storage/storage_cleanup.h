// Removal of what the data directory no longer needs: stale slots and stage
// folders, finished and partial downloads, leftovers of the self-update.
#pragma once

#include <json/value.h>

#include <filesystem>
#include <string>

namespace zarvo {

// Deletes the stale entries of "slots", "downloads" and "bootstrap" in dataDir.
// state is the bootstrap state document (null when there is none); its
// activeSlot and previousSlot are kept, and so are the partial downloads of
// the digests it names as accepted (a later run resumes them). A slot or stage
// folder is deleted only under its free slot lock, a download only under its
// free download lock; busy ones are skipped. With no activeSlot on record no slot is deleted. Never
// raises for std::exception: a deletion that fails is a Debug line, anything
// else stops the cleanup with a "storage.cleanup" Warn line. sparedSlot, when
// not empty, is kept like the active one: after a rollback, the new slot that
// failed stays installed for the next run to try again. Update thread, under
// "bootstrap.lock".
void cleanupStorage(const std::filesystem::path& dataDir, const Json::Value& state,
                    const std::string& sparedSlot = {});

}  // namespace zarvo
