// Where the data directory lives: the per-user roaming folder, with the local
// folder of earlier releases consulted for data that has yet to move.
#include "storage/data_directory.h"

#include <system_error>

#include "platform/private_folders.h"
#include "platform/user_folders.h"
#include "storage/path_kind.h"
#include "storage/storage_migration.h"

namespace zarvo {

std::filesystem::path roamingDataDirectory() { return platform::roamingAppDataFolder() / "ZarvoLauncher"; }

std::filesystem::path legacyDataDirectory() {
    return platform::localAppDataFolder() / "zarvoquorvalith" / "zarvolauncher";
}

std::filesystem::path resolveDataDirectory() {
    std::filesystem::path roaming = std::filesystem::absolute(roamingDataDirectory());
    // Read even when the roaming folder exists: a missing local folder is a
    // broken environment either way.
    std::filesystem::path legacy = std::filesystem::absolute(legacyDataDirectory());
    if (!existsAtAll(roaming) &&
        (isPlainFile(legacy / "bootstrap-state.json") || isPlainFile(legacy / "settings.json"))) {
        return migrateStorage(legacy, roaming);
    }
    return roaming;
}

bool prepareDataDirectory(const std::filesystem::path& dataDir, bool isDefault) {
    platform::createPrivateFolders(dataDir);
    return isDefault && platform::restrictToOwner(dataDir);
}

}  // namespace zarvo
