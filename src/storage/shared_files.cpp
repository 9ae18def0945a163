// Shared files: each one is checked before and after it is linked, and becomes
// visible under its final name only once it is known to be intact.
#include "storage/shared_files.h"

#include <system_error>

#include "install/safe_path.h"
#include "platform/file_entries.h"
#include "platform/files.h"
#include "storage/path_guard.h"
#include "storage/path_kind.h"
#include "trust/error.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

[[noreturn]] void damaged() { throw Error("HASH_MISMATCH", "Повреждён общий файл"); }

}  // namespace

void linkVerifiedFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                      const std::string& expected) {
    guardPath(source);
    guardPath(destination);
    if (expected.size() != 64 || !isLowerHex(expected)) {
        damaged();
    }
    if (platform::entryKind(source) != platform::EntryKind::file) {
        damaged();
    }
    if (hashFile(source, "sha256") != expected) {
        damaged();
    }
    std::error_code ignored;
    if (platform::entryKind(destination) == platform::EntryKind::file &&
        platform::sameFile(source, destination, ignored)) {
        return;
    }
    platform::createPrivateFolders(destination.parent_path());
    if (existsAtAll(destination)) {
        platform::removeEntry(destination);
    }
    // A hard link is whole the moment it exists, so it takes its final name at
    // once (the destination lies in a private stage): on Windows a link to a
    // file held open without delete sharing, as a verified core is, cannot be
    // renamed.
    std::error_code linkFailure;
    platform::createHardLink(source, destination, linkFailure);
    if (!linkFailure) {
        if (hashFile(destination, "sha256") != expected) {
            platform::removeEntry(destination, ignored);
            throw Error("HASH_MISMATCH", "Общий файл изменился при подключении");
        }
        return;
    }
    // Another volume or a file system without hard links: a plain copy, which
    // can be half-written, is made under a temporary name and checked first.
    auto temporary = destination;
    temporary += ".link-" + randomHexName();
    try {
        platform::copyFile(source, temporary);
        if (hashFile(temporary, "sha256") != expected) {
            throw Error("HASH_MISMATCH", "Общий файл изменился при подключении");
        }
        platform::renameEntry(temporary, destination);
    } catch (...) {
        platform::removeEntry(temporary, ignored);
        throw;
    }
}

void linkSharedFiles(const std::filesystem::path& sourceRoot, const std::filesystem::path& destinationRoot,
                     const Json::Value& files) {
    for (const std::string& name : files.getMemberNames()) {
        const Json::Value& value = files[name];
        const std::string expected = value.isString() ? value.asString() : std::string();
        const auto destination = resolveInstallPath(destinationRoot, name);
        const auto source = resolveInstallPath(sourceRoot, name);
        linkVerifiedFile(source, destination, expected);
    }
}

}  // namespace zarvo
