// Where the data directory lives: the per-user roaming folder, with the local
// folder of earlier releases consulted for data that has yet to move.
#include "storage/data_directory.h"

#include <system_error>

#include "platform/user_folders.h"
#include "storage/storage_migration.h"

namespace zarvo {
namespace {

// A link is not taken for the file it names, the same as migration decides.
bool isRegularFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error));
}

// Anything at all at the path, a dangling link included; a path that cannot
// be asked about counts as present, so nothing is ever moved onto it.
bool existsAtAll(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found;
}

}  // namespace

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
        (isRegularFile(legacy / "bootstrap-state.json") || isRegularFile(legacy / "settings.json"))) {
        return migrateStorage(legacy, roaming);
    }
    return roaming;
}

}  // namespace zarvo
