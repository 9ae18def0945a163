// Building a new core in a stage folder from the files installed cores
// already hold and the byte ranges of its archive that hold the rest, so an
// update costs about the compressed size of what changed.
#pragma once

#include <filesystem>
#include <vector>

#include "app/core_delta_plan.h"

namespace zarvo {

class Bootstrap;
struct AcceptedUpdate;

// Fills stage/core with the release's core: files carried from the sources
// (hard link, copy where a link cannot be made), the rest fetched by ranges
// of the archive and unpacked member by member with the archive rules.
// Returns true when every listed file is in place, and logs "install.delta".
// Returns false, with stage/core and the fetched bytes removed and
// "install.whole-archive reason=…" logged, when the component has no usable
// "fileRanges", the plan is not worth it, the archive is complete in the
// download cache already, or anything on the way fails; the caller then
// installs the whole archive. A server that answers with the whole file
// leaves it verified in the download cache. A file of an unlocked source is
// proven before and after it is carried, and fetched instead when it fails
// (so a damaged slot can be the source of its own repair). Raises only
// "CANCELLED". Update thread, under "bootstrap.lock".
bool buildCoreByRanges(Bootstrap& context, const ReleaseComponent& core, const std::filesystem::path& stage,
                       const std::vector<CarrySource>& carrySources);

// The update's core step for a core that differs from the active slot's: the
// active slot's core verified against its own manifest and held locked while
// buildCoreByRanges carries from it (when it fails that check, its files are
// carried unlocked, each proven). Returns false (logged) when there is no
// usable active slot or the delta path gave way. Raises only "CANCELLED".
bool updateCoreByRanges(Bootstrap& context, const AcceptedUpdate& update, const std::filesystem::path& stage);

}  // namespace zarvo
