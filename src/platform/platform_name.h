// The names this build uses for its operating system and processor, in the
// update request and in the manifest's compatibility check.
#pragma once

namespace zarvo::platform {

inline constexpr const char* kPlatformName = "linux";
inline constexpr const char* kPlatformArch = "x86_64";

}  // namespace zarvo::platform
