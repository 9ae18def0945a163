// Storage cleanup after a launch: decides by name alone what is stale, and
// leaves everything another process may be using to a later run.
#include "storage/storage_cleanup.h"

#include <string>
#include <string_view>
#include <vector>

#include "log/logger.h"
#include "platform/files.h"
#include "storage/path_guard.h"
#include "storage/storage_lock.h"
#include "storage/storage_remove.h"
#include "trust/error.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSlotNameLength = 24;
constexpr std::size_t kDigestLength = 64;
constexpr std::string_view kStageInfix = "-stage-";
constexpr std::string_view kPartSuffix = ".part";

// Lower-case only: a name with "A" to "F" was not written by this program.
bool isLowerHex(std::string_view text) {
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// A slot, or a stage folder with a suffix of any kind and at least one character.
bool isSlotOrStageName(std::string_view name) {
    if (name.size() == kSlotNameLength) {
        return isLowerHex(name);
    }
    return name.size() > kSlotNameLength + kStageInfix.size() && isLowerHex(name.substr(0, kSlotNameLength)) &&
           name.substr(kSlotNameLength, kStageInfix.size()) == kStageInfix;
}

// A finished download or its partial file; the ".lock" files stay.
bool isDownloadName(std::string_view name) {
    if (name.size() == kDigestLength) {
        return isLowerHex(name);
    }
    return name.size() == kDigestLength + kPartSuffix.size() && isLowerHex(name.substr(0, kDigestLength)) &&
           name.substr(kDigestLength) == kPartSuffix;
}

bool isSelfUpdateLeftover(std::string_view name) {
    return name.starts_with("previous-") || name.starts_with("candidate-") || name.starts_with("update-");
}

// A slot name from the state. Anything but text (or nothing) means the state
// cannot say which slots are in use, so the cleanup stops instead of guessing.
std::string slotOfState(const Json::Value& state, std::string_view member) {
    if (state.isNull()) {
        return {};
    }
    if (!state.isObject()) {
        throw Error("LOCAL_ERROR", "Некорректное состояние обновления");
    }
    const Json::Value* value = state.find(member.data(), member.data() + member.size());
    if (value == nullptr || value->isNull()) {
        return {};
    }
    if (!value->isString()) {
        throw Error("LOCAL_ERROR", "Некорректное состояние обновления: " + std::string(member));
    }
    return value->asString();
}

// The folder's entries in listing order, or none when the folder is missing.
// Listed whole before anything is deleted, so deletions cannot disturb the listing.
std::vector<fs::path> entriesOf(const fs::path& folder) {
    guardPath(folder);
    std::vector<fs::path> entries;
    if (fs::symlink_status(folder).type() == fs::file_type::not_found) {
        return entries;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        entries.push_back(entry.path());
    }
    return entries;
}

std::string nameOf(const fs::path& entry) { return platform::pathToUtf8(entry.filename()); }

void removeStaleSlots(const fs::path& dataDir, const Json::Value& state, const std::string& spared) {
    const std::string active = slotOfState(state, "activeSlot");
    const std::string previous = slotOfState(state, "previousSlot");
    // Cleanup follows a launch, so an active slot is always on record; without
    // one, the slot in use is unknown and every slot would look stale.
    if (active.empty()) {
        return;
    }
    for (const fs::path& entry : entriesOf(dataDir / "slots")) {
        const std::string name = nameOf(entry);
        if (name == active || name == previous || (!spared.empty() && name == spared) || !isSlotOrStageName(name)) {
            continue;
        }
        // A busy lock is a core running from this slot.
        StorageLock lock = lockStorageFile(dataDir / "slot-locks" / platform::pathFromUtf8(name + ".lock"));
        if (lock.held()) {
            tryRemoveWithinStorage(dataDir, entry);
        }
    }
}

void removeStaleDownloads(const fs::path& dataDir) {
    for (const fs::path& entry : entriesOf(dataDir / "downloads")) {
        const std::string name = nameOf(entry);
        if (!isDownloadName(name)) {
            continue;
        }
        // The download's own lock: another process that is fetching or
        // resuming this file right now keeps it, and its partial file with it.
        fs::path lockPath = entry.parent_path() / platform::pathFromUtf8(name.substr(0, kDigestLength) + ".lock");
        StorageLock lock = lockStorageFile(lockPath);
        if (lock.held()) {
            tryRemoveWithinStorage(dataDir, entry);
        }
    }
}

void removeSelfUpdateLeftovers(const fs::path& dataDir) {
    for (const fs::path& entry : entriesOf(dataDir / "bootstrap")) {
        if (isSelfUpdateLeftover(nameOf(entry))) {
            tryRemoveWithinStorage(dataDir, entry);
        }
    }
}

}  // namespace

void cleanupStorage(const fs::path& dataDir, const Json::Value& state, const std::string& sparedSlot) {
    try {
        removeStaleSlots(dataDir, state, sparedSlot);
        removeStaleDownloads(dataDir);
        removeSelfUpdateLeftovers(dataDir);
    } catch (const std::exception& error) {
        logMessage(LogLevel::Warn, std::string("storage.cleanup ") + error.what());
    }
}

}  // namespace zarvo
