#include "app/uninstall.h"

#include <iostream>
#include <optional>
#include <string>

#include "log/redaction.h"
#include "platform/files.h"
#include "platform/installed_programs.h"
#include "platform/processes.h"
#include "platform/user_settings.h"
#include "storage/data_directory_hold.h"
#include "storage/data_layout.h"
#include "storage/data_removal.h"
#include "storage/path_kind.h"
#include "trust/error.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using platform::pathToGenericUtf8;

// The run's own record, in the log's form but on standard error: the log file
// would lie in the folder being removed.
void note(const std::string& line) { std::cerr << redactText(line) << '\n' << std::flush; }

const char* removalText(platform::EntryRemoval removal) {
    switch (removal) {
    case platform::EntryRemoval::removed:
        return "removed";
    case platform::EntryRemoval::absent:
        return "absent";
    case platform::EntryRemoval::kept:
        break;
    }
    return "kept";
}

DataDirectoryHold holdForRemoval(const DataLayout& layout) {
    DataDirectoryHold hold;
    switch (holdUnused(layout, hold)) {
    case DataDirectoryUse::updating:
        throw Error("UPDATE_BUSY", "Обновление уже открыто в другом процессе");
    case DataDirectoryUse::launcherRunning:
        throw Error("DATA_IN_USE", "Лаунчер запущен из этой папки. Закройте его и повторите удаление.");
    case DataDirectoryUse::gameRunning:
        throw Error("DATA_IN_USE", "Minecraft запущен из этой папки. Закройте его и повторите удаление.");
    case DataDirectoryUse::unused:
        break;
    }
    return hold;
}

void removeFolder(const DataLayout& layout) {
    if (!looksLikeDataDirectory(layout)) {
        throw Error("LOCAL_ERROR",
                    messageWithPath("В папке нет данных ZarvoLauncher, ничего не удалено", layout.root()));
    }
    DataDirectoryHold hold = holdForRemoval(layout);
    // Windows removes no folder a process works in, and a shortcut starts the
    // installed copy in its own folder.
    fs::current_path(layout.root().parent_path());
    // Started from the listing, this is the installed copy itself, which
    // Windows will not delete while it runs but lets move aside.
    const fs::path program = platform::executablePath();
    const std::optional<fs::path> moved = platform::moveRunningProgramOutOf(layout.root());
    if (moved) {
        note("uninstall.program-moved from=" + pathToGenericUtf8(program) + " to=" + pathToGenericUtf8(*moved));
    }
    try {
        removeDataDirectory(layout, std::move(hold));
    } catch (const std::exception&) {
        // Back where the menu and the listing look for it, unless its folder went first.
        if (moved && platform::moveFolderNoReplace(*moved, program)) {
            note("uninstall.program-left path=" + pathToGenericUtf8(*moved));
        }
        throw;
    }
    note("uninstall.removed folder=" + pathToGenericUtf8(layout.root()));
}

}  // namespace

int runUninstall(const fs::path& dataDir) {
    const DataLayout layout(fs::absolute(dataDir).lexically_normal());
    if (existsAtAll(layout.root())) {
        removeFolder(layout);
    } else {
        note("uninstall.no-folder path=" + pathToGenericUtf8(layout.root()));
    }
    note(std::string("uninstall.desktop-entry result=") + removalText(platform::removeDesktopEntryInto(layout.root())));
    note(std::string("uninstall.uninstall-entry result=") +
         removalText(platform::removeUninstallEntryOf(layout.root())));
    std::cout << "ZarvoLauncher удалён: " << platform::pathToUtf8(layout.root()) << '\n' << std::flush;
    return 0;
}

}  // namespace zarvo
