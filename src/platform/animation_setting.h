// Whether the user asked the system to turn off animations inside windows.
#pragma once

namespace zarvo::platform {

enum class AnimationSetting { Unknown, Enabled, Disabled };

// The system-wide client-area animation setting; Unknown where the system has none.
AnimationSetting clientAreaAnimation();

}  // namespace zarvo::platform
