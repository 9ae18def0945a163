// The access rules of a folder the program makes, as %APPDATA% has them: a
// protected list (nothing inherited from the parent) that lets the current
// user and the system account in, passed on to everything made inside. A
// --data-dir made under C:\ or a shared folder would otherwise be open to
// every account that may change its parent. Used by the Win32 implementations only.
#pragma once

#include <windows.h>

#include <string>

namespace zarvo::platform {

// The current user's security identifier as text ("S-1-5-21-…"). Raises std::system_error.
std::wstring currentUserSidText();
// Attributes for CreateDirectoryW that carry those rules; built once, kept for
// the process's life. Raises std::system_error when they cannot be built.
SECURITY_ATTRIBUTES* privateFolderAttributes();

}  // namespace zarvo::platform
