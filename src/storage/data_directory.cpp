// Where the data directory lives: the per-user roaming folder, with the local
// folder of earlier releases consulted for data that has yet to move.
#include "storage/data_directory.h"

#include <system_error>

#include "platform/files.h"
#include "platform/user_settings.h"
#include "storage/data_layout.h"
#include "storage/path_kind.h"
#include "storage/storage_migration.h"
#include "trust/error.h"

namespace zarvo {
namespace {

// The per-user folder, or "LOCAL_ERROR" naming the variable that is missing.
std::filesystem::path userFolder(std::filesystem::path (*folder)()) {
    try {
        return folder();
    } catch (const platform::UserFolderUnavailable& missing) {
        throw Error("LOCAL_ERROR", missing.variable() + " is unavailable");
    }
}

}  // namespace

std::filesystem::path roamingDataDirectory() { return userFolder(platform::roamingAppDataFolder) / "ZarvoLauncher"; }

std::filesystem::path legacyDataDirectory() {
    return userFolder(platform::localAppDataFolder) / "zarvoquorvalith" / "zarvolauncher";
}

std::filesystem::path resolveDataDirectory() {
    std::filesystem::path roaming = std::filesystem::absolute(roamingDataDirectory());
    // Read even when the roaming folder exists: a missing local folder is a
    // broken environment either way.
    std::filesystem::path legacy = std::filesystem::absolute(legacyDataDirectory());
    if (!existsAtAll(roaming) &&
        (isPlainFile(DataLayout(legacy).stateFile()) || isPlainFile(DataLayout(legacy).settingsFile()))) {
        return migrateStorage(legacy, roaming);
    }
    return roaming;
}

bool prepareDataDirectory(const std::filesystem::path& dataDir, bool isDefault) {
    platform::createPrivateFolders(dataDir);
    return isDefault && platform::restrictToOwner(dataDir);
}

}  // namespace zarvo
