#include "platform/file_handle.h"

#include <unistd.h>

namespace zarvo::platform {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        reset();
        descriptor_ = other.release();
    }
    return *this;
}

int FileHandle::release() noexcept {
    int descriptor = descriptor_;
    descriptor_ = -1;
    return descriptor;
}

void FileHandle::reset() noexcept {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
}

}  // namespace zarvo::platform
