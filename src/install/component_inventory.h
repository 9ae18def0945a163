// The check of an installed component against its signed file list, and the
// handles that keep the checked files as they were while the component is used.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include <json/value.h>

#include "platform/files.h"

namespace zarvo {

// Open handles on a verified component's folders and files, in the order they
// were taken. Closing them (destruction or release) ends the protection. Where
// the system has no mandatory sharing modes (Linux), they stop only processes
// that take the same file locks before writing. Move-only; owned by one thread.
class ComponentLocks {
public:
    ComponentLocks() = default;
    ComponentLocks(ComponentLocks&&) noexcept = default;
    ComponentLocks& operator=(ComponentLocks&& other) noexcept;
    ComponentLocks(const ComponentLocks&) = delete;
    ComponentLocks& operator=(const ComponentLocks&) = delete;
    ~ComponentLocks() { release(); }

    std::size_t size() const noexcept { return handles_.size(); }
    bool empty() const noexcept { return handles_.empty(); }
    // Closes every handle, the newest first. Safe to call more than once.
    void release() noexcept;
    // Takes ownership of one more handle.
    void add(platform::FileHandle handle);

private:
    std::vector<platform::FileHandle> handles_;
};

// Checks root against files (member name: "/"-separated relative path; value:
// lowercase SHA-256 hex): every listed file present, unlinked and unchanged,
// nothing unlisted and no link anywhere below root. Returns the locks that keep
// it so: its folders, and its files as well unless, on Linux, one descriptor
// per file would not fit well within the process's limit. Raises zarvo::Error
// ("LOCAL_ERROR" when the process runs out of descriptors); a failed call
// holds nothing. Update thread.
ComponentLocks verifyComponentFiles(const std::filesystem::path& root, const Json::Value& files);

// What below root breaks the list, as "/"-separated names in name order:
// listed files that are missing, not regular files or of other bytes, and
// unlisted entries and links. Takes no locks: it names what to repair, it
// proves nothing. Raises zarvo::Error for a list that is no object of
// lowercase SHA-256 values with safe names, and the file system's errors.
std::vector<std::string> findDamagedFiles(const std::filesystem::path& root, const Json::Value& files);

}  // namespace zarvo
