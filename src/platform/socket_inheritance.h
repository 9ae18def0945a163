// Keeping network sockets out of the processes the pre-starter starts: an
// idle connection must not stay open inside the core.
#pragma once

#include <cstdint>

namespace zarvo::platform {

// Marks the socket (a descriptor, or a SOCKET on Windows) as not inherited by
// child processes. Raises std::system_error.
void keepSocketFromChildren(std::intptr_t socket);

}  // namespace zarvo::platform
