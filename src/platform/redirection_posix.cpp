// Linux redirects paths only through symbolic links, which callers test
// themselves; junctions and other reparse points do not exist here.
#include "platform/redirection.h"

namespace zarvo::platform {

bool hasRedirectionAttribute(const std::filesystem::path&) noexcept { return false; }

}  // namespace zarvo::platform
