// The one-time move of the data directory: proves the old folder is unused,
// then moves it whole with one rename so that it is never half moved.
#include "storage/storage_migration.h"

#include <json/json.h>

#include <system_error>

#include "platform/files.h"
#include "storage/bootstrap_state.h"
#include "storage/data_directory_hold.h"
#include "storage/data_layout.h"
#include "storage/path_guard.h"
#include "storage/path_kind.h"
#include "trust/error.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {
namespace {

bool isRealFolder(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_directory(std::filesystem::symlink_status(path, error));
}

// Refuses while a pre-starter, the launcher or the game uses the folder.
DataDirectoryHold ensureUnused(const DataLayout& src) {
    DataDirectoryHold hold;
    switch (holdUnused(src, hold)) {
    case DataDirectoryUse::updating:
        throw Error("STORAGE_MIGRATION_BUSY", "Закройте престартер перед переносом");
    case DataDirectoryUse::launcherRunning:
        throw Error("STORAGE_MIGRATION_BUSY", "Закройте лаунчер перед переносом");
    case DataDirectoryUse::gameRunning:
        throw Error("STORAGE_MIGRATION_BUSY", "Закройте Minecraft перед переносом");
    case DataDirectoryUse::unused:
        break;
    }
    return hold;
}

// The update hash of the old location no longer describes the moved install.
// Cleared before the move so that the rename is the last step: a run cut off
// at any point leaves either the old folder to migrate again or a finished
// new one. An empty hash only costs one extra self-update hand-over.
void clearBootstrapHash(const std::filesystem::path& src) {
    if (!isPlainFile(DataLayout(src).stateFile())) {
        return;
    }
    Json::Value state = readBootstrapState(src);
    if (!state.isObject()) {
        throw Error("INVALID_JSON", "Некорректный JSON");
    }
    recordBootstrapHash(state, "");
    writeBootstrapState(src, state);
}

}  // namespace

std::filesystem::path migrateStorage(const std::filesystem::path& source, const std::filesystem::path& target) {
    const std::filesystem::path src = std::filesystem::absolute(source).lexically_normal();
    const std::filesystem::path dst = std::filesystem::absolute(target).lexically_normal();
    guardPath(src);
    guardPath(dst);
    if (src == dst || isWithinStorage(src, dst) || isWithinStorage(dst, src)) {
        throw Error("LOCAL_ERROR", "Недопустимые папки переноса");
    }
    const DataLayout layout(src);
    if (!isRealFolder(src) || (!isPlainFile(layout.stateFile()) && !isPlainFile(layout.settingsFile()))) {
        throw Error("LOCAL_ERROR", "Исходная папка не содержит данные ZarvoLauncher");
    }
    if (existsAtAll(dst)) {
        throw Error("STORAGE_EXISTS", "Новая папка уже существует; данные не были изменены");
    }

    // Held through the rename: the locks sit on the files themselves, which
    // move with the folder, so nobody can start on it between check and move.
    DataDirectoryHold locks = ensureUnused(layout);

    std::filesystem::create_directories(dst.parent_path());
    clearBootstrapHash(src);
    Json::Value record(Json::objectValue);
    record["source"] = platform::pathToGenericUtf8(src);
    writeFileAtomic(layout.migrationRecord(), writeCompactJson(record));

    // One rename moves everything or nothing. Across file systems it cannot
    // work; copying instead would leave two half-valid folders after a crash,
    // so the user is told to move the folder rather than risk the data.
    std::error_code error = platform::moveFolderNoReplace(src, dst);
    if (error == std::errc::file_exists) {
        // Something took the target's place after the check; it is kept as it is.
        throw Error("STORAGE_EXISTS", "Новая папка уже существует; данные не были изменены");
    }
    if (error == std::errc::cross_device_link) {
        throw Error("STORAGE_MIGRATION_BUSY",
                    "Старая и новая папки данных находятся на разных дисках; перенесите папку " +
                        platform::pathToUtf8(src) + " в " + platform::pathToUtf8(dst) + " вручную.");
    }
    if (error) {
        throw Error("STORAGE_MIGRATION_BUSY",
                    "Закройте лаунчер и Minecraft. Для переноса запустите новый ZarvoLauncher.exe из отдельной папки.");
    }
    return dst;
}

}  // namespace zarvo
