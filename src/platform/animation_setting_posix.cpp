// Linux desktops share no system-wide switch for animations inside windows,
// so the answer is always "unknown" and the window keeps its own setting.
#include "platform/animation_setting.h"

namespace zarvo::platform {

AnimationSetting clientAreaAnimation() { return AnimationSetting::Unknown; }

}  // namespace zarvo::platform
