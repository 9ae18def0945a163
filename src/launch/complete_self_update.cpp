// The new side of the hand-over: once the old pre-starter has gone, copy this
// bundle beside "bootstrap/current", swap it in, remember it, and start the
// installed copy. The checks come first, so a refused run changes nothing.
#include <chrono>
#include <string>
#include <system_error>

#include "build_config.h"
#include "install/safe_path.h"
#include "launch/self_update.h"
#include "launch/start_process.h"
#include "log/logger.h"
#include "platform/file_entries.h"
#include "platform/files.h"
#include "platform/installed_programs.h"
#include "platform/processes.h"
#include "platform/user_settings.h"
#include "storage/bootstrap_state.h"
#include "storage/data_directory.h"
#include "storage/data_layout.h"
#include "storage/path_guard.h"
#include "storage/path_kind.h"
#include "storage/storage_lock.h"
#include "trust/error.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using platform::pathToGenericUtf8;

constexpr std::chrono::milliseconds kParentWait{30000};

// A missing option fails with the standard library's out_of_range.
const std::string& option(const SelfUpdateContext& context, const char* name) { return context.options->at(name); }

fs::path normalised(const fs::path& path) { return fs::absolute(path).lexically_normal(); }

void checkTarget(const DataLayout& layout, const fs::path& target, const std::string& entry) {
    if (target != normalised(resolveInstallPath(layout.currentBootstrap(), entry))) {
        throw Error("LOCAL_ERROR", "Недопустимая цель самообновления");
    }
}

// This process must be the entry of an unpacked bundle of this data
// directory, so it only ever copies the bundle it was started from.
void checkSource(const DataLayout& layout, const fs::path& bundleRoot, const std::string& entry) {
    std::error_code error;
    const fs::path own = fs::canonical(platform::executablePath(), error);
    const fs::path expected = error ? fs::path() : fs::canonical(resolveInstallPath(bundleRoot, entry), error);
    const fs::path folder = error ? fs::path() : fs::canonical(layout.bootstrapFolder(), error);
    if (error || own != expected || bundleRoot.parent_path() != folder ||
        !isUnpackedBundleName(pathToGenericUtf8(bundleRoot.filename()))) {
        throw Error("LOCAL_ERROR", "Неверный источник самообновления");
    }
}

void waitForParent(const std::string& parentText) {
    const unsigned long parent = std::stoul(parentText);
    const auto started = std::chrono::steady_clock::now();
    const platform::ProcessWait result = platform::waitForProcessById(parent, kParentWait);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    const char* outcome = result == platform::ProcessWait::ended      ? "ended"
                          : result == platform::ProcessWait::notFound ? "gone"
                                                                      : "still-running";
    logMessage(result == platform::ProcessWait::stillRunning ? LogLevel::Warn : LogLevel::Info,
               "self-update.parent-wait pid=" + std::to_string(parent) + " result=" + outcome +
                   " waitedMs=" + std::to_string(waited.count()));
    if (result == platform::ProcessWait::stillRunning) {
        throw Error("LOCAL_ERROR", "Престартер не завершился");
    }
}

[[noreturn]] void failUnsafe() { throw Error("LOCAL_ERROR", "Опасный файл престартера"); }

// Folders and regular files only, never through a link, never over a file:
// the candidate is new, so anything already there is a fault, not an update.
void copyBundle(const fs::path& bundleRoot, const fs::path& candidate) {
    for (const platform::FolderEntry& entry : platform::folderTree(bundleRoot)) {
        if (entry.kind == platform::EntryKind::link || platform::hasRedirectionAttribute(entry.path)) {
            failUnsafe();
        }
        const bool folder = entry.kind == platform::EntryKind::folder;
        if (!folder && entry.kind != platform::EntryKind::file) {
            failUnsafe();
        }
        const fs::path destination =
            resolveInstallPath(candidate, pathToGenericUtf8(entry.path.lexically_relative(bundleRoot)));
        if (folder) {
            platform::createPrivateFolders(destination);
        } else {
            platform::createPrivateFolders(destination.parent_path());
            platform::copyFileToNew(entry.path, destination);
        }
    }
}

// One exchange where the system has it, so "current" never goes missing;
// the old installation ends up under the candidate's name and is then given
// its "previous-" name. Elsewhere two renames, the first undone when the
// second fails; a kill between them is repaired by the next start.
void swapIn(const fs::path& candidate, const fs::path& current, const fs::path& previous) {
    if (!existsAtAll(current)) {
        moveFolderToNewName(candidate, current);
        return;
    }
    const std::error_code exchange = platform::exchangeFolders(candidate, current);
    if (!exchange) {
        logMessage(LogLevel::Info, "self-update.exchanged current=" + pathToGenericUtf8(current) +
                                       " old=" + pathToGenericUtf8(candidate));
        if (std::error_code renamed = platform::moveFolderNoReplace(candidate, previous)) {
            // Left under the candidate's name, which the cleanup removes as well.
            logMessage(LogLevel::Warn, "self-update.rename-old-failed error=" + renamed.message());
        }
        return;
    }
    if (exchange != std::errc::function_not_supported) {
        throw fs::filesystem_error("exchange", candidate, current, exchange);
    }
    moveFolderToNewName(current, previous);
    logMessage(LogLevel::Info, "self-update.moved-aside from=" + pathToGenericUtf8(current) +
                                   " to=" + pathToGenericUtf8(previous));
    try {
        moveFolderToNewName(candidate, current);
    } catch (const std::exception& error) {
        if (std::error_code undo = platform::moveFolderNoReplace(previous, current)) {
            logMessage(LogLevel::Error, "self-update.restore-failed from=" + pathToGenericUtf8(previous) +
                                            " error=" + undo.message());
        }
        throw;
    }
}

// The copy of this bundle beside "current", flushed before it is swapped in;
// a copy that fails (a full disk, an unreadable file) is removed again, so
// repeated tries leave nothing behind.
fs::path buildCandidate(const DataLayout& layout, const fs::path& bundleRoot) {
    const fs::path candidate = layout.newCandidateFolder();
    platform::createPrivateFolders(candidate);
    try {
        copyBundle(bundleRoot, candidate);
        platform::flushFolderTree(candidate);
    } catch (const std::exception& error) {
        logMessage(LogLevel::Warn, "self-update.copy-failed candidate=" + pathToGenericUtf8(candidate) +
                                       " error=" + error.what());
        tryRemoveWithinStorage(layout.root(), candidate);
        throw;
    }
    return candidate;
}

// The parent has ended, but a normal run started meanwhile may hold the
// update lock; it is waited for as long as the parent was.
StorageLock takeUpdateLock(const DataLayout& layout) {
    StorageLock lock = waitForStorageLock(layout.updateLock(), kParentWait);
    if (!lock.held()) {
        logMessage(LogLevel::Warn, "self-update.lock-busy lock=" + pathToGenericUtf8(layout.updateLock()));
        throw Error("UPDATE_BUSY", "Обновление уже открыто в другом процессе");
    }
    return lock;
}

// Only a player's own data directory decides what the desktop starts and what
// the system lists as installed; a folder given for tests or a portable copy
// leaves both alone.
bool isPlayersDataDirectory(const fs::path& dataDir) {
    try {
        std::error_code error;
        return fs::equivalent(dataDir, roamingDataDirectory(), error) && !error;
    } catch (const std::exception& error) {
        // No user folder to compare with: nothing of the player's to point.
        logMessage(LogLevel::Warn, std::string("self-update.user-folder error=") + error.what());
        return false;
    }
}

const char* updateText(platform::DesktopEntryUpdate result) {
    return result == platform::DesktopEntryUpdate::written     ? "written"
           : result == platform::DesktopEntryUpdate::unchanged ? "unchanged"
                                                               : "left-alone";
}

void pointDesktopAt(const fs::path& executable) {
    try {
        const platform::DesktopEntryUpdate result = platform::pointDesktopEntryAt(executable);
        logMessage(LogLevel::Info, std::string("self-update.desktop-entry result=") + updateText(result));
    } catch (const std::exception& error) {
        // The installed copy works without it; the menu keeps starting the old program.
        logMessage(LogLevel::Warn, std::string("self-update.desktop-entry error=") + error.what());
    }
}

void registerForUninstall(const fs::path& dataDir, const fs::path& executable) {
    try {
        const platform::UninstallEntry entry{executable, normalised(dataDir), build::kVersion, build::kPublisher};
        const platform::DesktopEntryUpdate result = platform::registerForUninstall(entry);
        logMessage(LogLevel::Info, std::string("self-update.uninstall-entry result=") + updateText(result));
    } catch (const std::exception& error) {
        // Only the system's list misses it; "--uninstall" still removes the program.
        logMessage(LogLevel::Warn, std::string("self-update.uninstall-entry error=") + error.what());
    }
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

}  // namespace

void completeSelfUpdate(const SelfUpdateContext& context) {
    const DataLayout layout(context.dataDir);
    const fs::path target = normalised(platform::pathFromUtf8(option(context, "--self-replace")));
    const std::string& entry = option(context, "--self-entry");
    checkTarget(layout, target, entry);
    const fs::path bundleRoot = fs::canonical(platform::pathFromUtf8(option(context, "--bundle-root")));
    checkSource(layout, bundleRoot, entry);
    const std::string& parent = option(context, "--parent");
    logMessage(LogLevel::Info, "self-update.complete bundle=" + pathToGenericUtf8(bundleRoot) +
                                   " target=" + pathToGenericUtf8(target) + " parent=" + parent);
    waitForParent(parent);
    // Held for the copy, the swap and the state: no normal run cleans up or
    // writes the state under this run's feet.
    StorageLock updateLock = takeUpdateLock(layout);

    const fs::path candidate = buildCandidate(layout, bundleRoot);
    const fs::path current = layout.currentBootstrap();
    swapIn(candidate, current, layout.newPreviousFolder());

    const std::string& hash = option(context, "--self-hash");
    changeBootstrapState(context.dataDir, [&hash](Json::Value& state) {
        recordBootstrapHash(state, hash);
        clearHandOverAttempts(state);
    });
    logMessage(LogLevel::Info, "self-update.installed current=" + pathToGenericUtf8(current) + " bundle=" + hash);
    if (isPlayersDataDirectory(context.dataDir)) {
        pointDesktopAt(target);
        registerForUninstall(context.dataDir, target);
    }
    // The installed copy takes the lock itself.
    updateLock.release();

    const std::vector<std::string> arguments = forwardedOptions(context);
    logMessage(LogLevel::Info,
               "self-update.start executable=" + pathToGenericUtf8(target) + " arguments=" + joined(arguments));
    startProcess(target, arguments).close();
}

}  // namespace zarvo
