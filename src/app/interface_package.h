// The interface package of a new slot, brought through the download cache so
// that an interrupted download resumes and an unchanged package is not
// fetched again.
#pragma once

#include <filesystem>

namespace zarvo {

class Bootstrap;
struct AcceptedUpdate;

// Puts the release's interface package at stage/ui.rcc: linked from the
// active slot when that holds the same package intact, else downloaded into
// (or found in) downloads/<sha256> and linked or copied from there, proven
// against its digest either way. Raises the download's errors and those of
// linkVerifiedFile. Update thread, under "bootstrap.lock".
void installInterfacePackage(Bootstrap& context, const AcceptedUpdate& update, const std::filesystem::path& stage);

}  // namespace zarvo
