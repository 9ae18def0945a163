// libcurl opens its sockets without close-on-exec; this sets it afterwards.
#include "platform/socket_inheritance.h"

#include <fcntl.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {

void keepSocketFromChildren(std::intptr_t socket) {
    int descriptor = static_cast<int>(socket);
    int flags = ::fcntl(descriptor, F_GETFD);
    if (flags < 0 || ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "fcntl FD_CLOEXEC");
    }
}

}  // namespace zarvo::platform
