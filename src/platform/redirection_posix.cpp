#include "platform/redirection.h"

namespace zarvo::platform {

bool hasRedirectionAttribute(const std::filesystem::path&) noexcept { return false; }

}  // namespace zarvo::platform
