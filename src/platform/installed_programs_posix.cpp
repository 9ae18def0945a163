// The Linux desktops keep no list of installed programs: the menu entry and
// the data folder are all there is, and "--uninstall" removes both.
#include "platform/installed_programs.h"

namespace zarvo::platform {

DesktopEntryUpdate registerForUninstall(const UninstallEntry&) { return DesktopEntryUpdate::leftAlone; }

EntryRemoval removeUninstallEntryOf(const std::filesystem::path&) { return EntryRemoval::absent; }

}  // namespace zarvo::platform
