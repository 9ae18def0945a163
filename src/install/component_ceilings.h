// How much each component of a release may hold. The pre-starter stops at
// these, and the release tool refuses to publish anything beyond them.
#pragma once

#include <cstdint>

namespace zarvo {

// The core's unpacked files, and its archive's download when no size is named.
inline constexpr std::uint64_t kCoreSizeCeiling = 1073741824;
// The interface package, a single file, when no size is named.
inline constexpr std::uint64_t kInterfaceSizeCeiling = 268435456;
// A pre-starter bundle, downloaded and unpacked.
inline constexpr std::uint64_t kBundleSizeCeiling = 134217728;

}  // namespace zarvo
