// Verification of an installed component against its signed file list. Each
// file is locked before it is hashed, through the same handle, so what was
// checked is what stays in place while the locks are held.
//
// Windows keeps every file open: its sharing modes stop every writer, and
// handles have no low ceiling. On Linux a read descriptor stops no writer that
// does not ask for the lock first, so when one descriptor per file would not
// fit well within what the process may still open (a core of 100,000 files
// against a hard limit of 4,096), the files are hashed a batch at a time and
// closed again, and only the folders stay held.
#include "install/component_inventory.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "install/parallel_digest.h"
#include "install/safe_path.h"
#include "platform/file_entries.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "platform/processes.h"
#include "trust/error.h"
#include "trust/hashing.h"

namespace zarvo {
namespace {

constexpr Json::ArrayIndex kMaxMembers = 100000;
constexpr std::size_t kDigestLength = 64;

// Files opened and hashed together when not every file can stay open.
constexpr std::size_t kBatchCeiling = 512;

[[noreturn]] void failChanged(const std::string& message) { throw Error("COMPONENT_CHANGED", message); }
[[noreturn]] void failInventoryRequired() {
    throw Error("COMPONENT_INVENTORY_REQUIRED",
                "Для обновления отсутствует подписанный список файлов. Переопубликуйте компонент.");
}

bool outOfDescriptors(const std::error_code& error) {
    return error == std::errc::too_many_files_open || error == std::errc::too_many_files_open_in_system;
}

// Running out of descriptors is the process's own limit, not a sign of anyone
// writing to the component, and is told as such.
[[noreturn]] void failOutOfDescriptors(const std::string& name) {
    throw Error("LOCAL_ERROR", "Не хватает дескрипторов файлов для проверки файлов приложения: " + name);
}

// The folders verification holds: every folder on the way to a listed file, the root included.
std::size_t countFolders(const std::vector<std::string>& names) {
    std::set<std::string_view> folders{std::string_view()};
    for (const std::string& name : names) {
        std::string_view folder = name;
        for (auto slash = folder.rfind('/'); slash != std::string_view::npos; slash = folder.rfind('/')) {
            folder = folder.substr(0, slash);
            if (!folders.insert(folder).second) {
                break;
            }
        }
    }
    return folders.size();
}

// Opens the folders from the file's own folder up to the root, each once per
// call: a component of many files in few folders costs one handle per folder.
void lockFolderChain(const std::filesystem::path& root, const std::string& name, std::set<std::string>& visited,
                     ComponentLocks& locks) {
    std::string relative = name;
    for (;;) {
        auto slash = relative.rfind('/');
        relative = slash == std::string::npos ? std::string() : relative.substr(0, slash);
        if (!visited.insert(relative).second) {
            return;
        }
        std::filesystem::path folder = relative.empty() ? root : root / platform::pathFromUtf8(relative);
        std::error_code error;
        if (platform::entryKind(folder, error) == platform::EntryKind::link || error) {
            failChanged("Перенаправление папки приложения");
        }
        try {
            locks.add(platform::openComponentFolder(folder));
        } catch (const std::system_error& failure) {
            if (outOfDescriptors(failure.code())) {
                failOutOfDescriptors(relative.empty() ? "." : relative);
            }
            failChanged("Папка приложения занята");
        }
        if (relative.empty()) {
            return;
        }
    }
}

// Opens and locks one listed file; its contents are hashed later, through this handle.
platform::FileHandle openListedFile(const std::filesystem::path& root, const std::string& name,
                                    const Json::Value& value, std::set<std::string>& visited, ComponentLocks& locks) {
    std::filesystem::path file = resolveInstallPath(root, name);
    std::error_code error;
    if (!value.isString() || value.asString().size() != kDigestLength ||
        platform::followedEntryKind(file, error) != platform::EntryKind::file) {
        failChanged("Файлы приложения повреждены: " + name);
    }
    lockFolderChain(root, name, visited, locks);

    if (platform::entryKind(file, error) == platform::EntryKind::link || error) {
        failChanged("Ссылка вместо файла приложения");
    }
    std::optional<platform::FileHandle> handle;
    try {
        handle = platform::openComponentFile(file);
    } catch (const std::system_error& failure) {
        if (outOfDescriptors(failure.code())) {
            failOutOfDescriptors(name);
        }
        handle.reset();
    }
    if (!handle) {
        failChanged("Файл приложения занят для записи");
    }
    return std::move(*handle);
}

// Every regular file below root must be listed, and nothing below root may be a link.
void refuseExtraEntries(const std::filesystem::path& root, const Json::Value& files) {
    std::vector<platform::FolderEntry> walk;
    try {
        walk = platform::folderTree(root);
    } catch (const std::filesystem::filesystem_error& failure) {
        if (outOfDescriptors(failure.code())) {
            failOutOfDescriptors(".");
        }
        throw;
    }
    for (const platform::FolderEntry& entry : walk) {
        if (entry.kind == platform::EntryKind::link) {
            failChanged("Ссылка в папке приложения");
        }
        if (entry.kind == platform::EntryKind::file) {
            std::string relative = platform::pathToGenericUtf8(entry.path.lexically_relative(root));
            if (!files.isMember(relative)) {
                failChanged("Посторонний файл приложения: " + relative);
            }
        }
    }
}

}  // namespace

ComponentLocks& ComponentLocks::operator=(ComponentLocks&& other) noexcept {
    if (this != &other) {
        release();
        handles_ = std::move(other.handles_);
    }
    return *this;
}

void ComponentLocks::release() noexcept {
    while (!handles_.empty()) {
        handles_.pop_back();
    }
}

void ComponentLocks::add(platform::FileHandle handle) { handles_.push_back(std::move(handle)); }

ComponentLocks verifyComponentFiles(const std::filesystem::path& componentRoot, const Json::Value& files) {
    if (!files.isObject() || files.empty() || files.size() > kMaxMembers) {
        failInventoryRequired();
    }
    std::filesystem::path root = componentRoot;
    if (!root.has_filename() && root.has_relative_path()) {
        root = root.parent_path();  // "slot/core/" names the same folder as "slot/core"
    }
    std::vector<std::string> names = files.getMemberNames();
    std::sort(names.begin(), names.end());  // byte order, whatever the container keeps

    // On any failure the locks taken so far close as this object goes out of scope.
    ComponentLocks locks;
    std::set<std::string> visited;
    const std::size_t folders = countFolders(names);
    // Half of what is left stays for the rest of the run: the core's start, a
    // second attempt verifying beside this one, the network and the log.
    std::size_t spare = platform::spareFileHandles();
    if (names.size() + folders > spare / 2) {
        platform::raiseOpenFileLimit();  // start-up normally has already
        spare = platform::spareFileHandles();
    }
    const bool holdFiles = names.size() + folders <= spare / 2;
    const std::size_t batch =
        holdFiles ? names.size() : std::clamp<std::size_t>((spare - std::min(spare, folders)) / 4, 1, kBatchCeiling);

    // The files of a batch are opened and locked in listing order, up to the
    // first that cannot be; their contents are then hashed on all cores. The
    // error reported is the one a check of one file after the other would
    // meet first: a changed file before it wins over the failed open.
    for (std::size_t first = 0; first < names.size(); first += batch) {
        const std::size_t end = std::min(names.size(), first + batch);
        std::vector<platform::FileHandle> handles;
        std::exception_ptr openError;
        for (std::size_t i = first; i < end; ++i) {
            try {
                handles.push_back(openListedFile(root, names[i], files[names[i]], visited, locks));
            } catch (...) {
                openError = std::current_exception();
                break;
            }
        }
        std::vector<const platform::FileHandle*> toHash;
        for (const platform::FileHandle& handle : handles) {
            toHash.push_back(&handle);
        }
        const std::vector<FileDigest> digests = hashFilesInParallel(toHash);
        for (std::size_t i = 0; i < digests.size(); ++i) {
            if (digests[i].error) {
                std::rethrow_exception(digests[i].error);
            }
            if (digests[i].value != files[names[first + i]].asString()) {
                failChanged("Файлы приложения изменены: " + names[first + i]);
            }
        }
        if (openError) {
            std::rethrow_exception(openError);
        }
        if (holdFiles) {
            for (platform::FileHandle& handle : handles) {
                locks.add(std::move(handle));
            }
        }
    }
    // Only after every listed file passed, so a changed file is reported before an extra one.
    refuseExtraEntries(root, files);
    return locks;
}

std::vector<std::string> findDamagedFiles(const std::filesystem::path& root, const Json::Value& files) {
    if (!files.isObject()) {
        failInventoryRequired();
    }
    std::set<std::string> damaged;
    for (const std::string& name : files.getMemberNames()) {
        const Json::Value& value = files[name];
        if (!value.isString() || value.asString().size() != kDigestLength || !isLowerHex(value.asString())) {
            failInventoryRequired();
        }
        const std::filesystem::path file = resolveInstallPath(root, name);
        std::error_code error;
        if (platform::entryKind(file, error) != platform::EntryKind::file ||
            hashFile(file, "sha256") != value.asString()) {
            damaged.insert(name);
        }
    }
    std::error_code error;
    if (platform::entryKind(root, error) == platform::EntryKind::folder) {
        for (const platform::FolderEntry& entry : platform::folderTree(root)) {
            const std::string name = platform::pathToGenericUtf8(entry.path.lexically_relative(root));
            if (entry.kind == platform::EntryKind::link ||
                (entry.kind != platform::EntryKind::folder && !files.isMember(name))) {
                damaged.insert(name);
            }
        }
    }
    return {damaged.begin(), damaged.end()};
}

}  // namespace zarvo
