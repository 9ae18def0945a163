// An owned operating-system file handle, closed when it goes out of scope.
#pragma once

namespace zarvo::platform {

class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int descriptor) noexcept : descriptor_(descriptor) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : descriptor_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    ~FileHandle() { reset(); }

    bool valid() const noexcept { return descriptor_ >= 0; }
    int get() const noexcept { return descriptor_; }
    int release() noexcept;
    // Closes the handle; a failing close is ignored, there is nothing left to do with it.
    void reset() noexcept;

private:
    int descriptor_ = -1;
};

}  // namespace zarvo::platform
