// User settings on Windows: the APPDATA and LOCALAPPDATA variables, the
// runtime's UTF-8 locale where it has one, the client-area animation switch
// of SystemParametersInfoW, and the Start menu's shortcut (a shell link).
#include "platform/user_settings.h"

#include <clocale>
#include <cwchar>
#include <optional>
#include <string>
#include <system_error>

#include "platform/files_win32.h"

// After windows.h, which they need.
#include <objbase.h>
#include <objidl.h>
#include <shlguid.h>
#include <shobjidl.h>
#include "platform/processes.h"

#ifndef SPI_GETCLIENTAREAANIMATION
#define SPI_GETCLIENTAREAANIMATION 0x1042
#endif

namespace zarvo::platform {

const char* const kPlatformName = "windows";
const char* const kPlatformArch = "x86_64";

namespace {

std::filesystem::path folderNamedBy(const char* variable) {
    // An empty value names no folder; taken as given it would put the data
    // in whatever folder the program was started from.
    auto value = environmentVariable(variable);
    if (!value || value->empty()) {
        throw UserFolderUnavailable(variable);
    }
    return pathFromUtf8(*value);
}

}  // namespace

std::filesystem::path roamingAppDataFolder() { return folderNamedBy("APPDATA"); }

std::filesystem::path localAppDataFolder() { return folderNamedBy("LOCALAPPDATA"); }

bool useUtf8CharacterType() {
    // Older C runtimes (msvcrt) know no UTF-8 locale: the answer is then
    // false, as on a POSIX system without one, and the "C" locale stays.
    if (std::setlocale(LC_CTYPE, ".UTF-8") != nullptr) {
        return true;
    }
    std::setlocale(LC_CTYPE, "C");
    return false;
}

AnimationSetting clientAreaAnimation() {
    BOOL enabled = TRUE;
    if (!::SystemParametersInfoW(SPI_GETCLIENTAREAANIMATION, 0, &enabled, 0)) {
        return AnimationSetting::Unknown;
    }
    return enabled ? AnimationSetting::Enabled : AnimationSetting::Disabled;
}

namespace {

namespace fs = std::filesystem;

// The name the Start menu shows, as the Linux menu entry's Name.
constexpr const wchar_t* kShortcutName = L"Zarvo Launcher.lnk";

[[noreturn]] void failCom(HRESULT result, const char* operation) {
    throw std::system_error(static_cast<int>(result), std::system_category(), operation);
}

void check(HRESULT result, const char* operation) {
    if (FAILED(result)) {
        failCom(result, operation);
    }
}

// COM for the length of one shortcut, on the calling thread.
class ComApartment {
public:
    ComApartment() {
        const HRESULT result = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        // Another mode already chosen on this thread serves as well, but is not ours to end.
        if (result == RPC_E_CHANGED_MODE) {
            return;
        }
        check(result, "CoInitializeEx");
        owned_ = true;
    }
    ~ComApartment() {
        if (owned_) {
            ::CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool owned_ = false;
};

template <typename Interface>
class ComPointer {
public:
    ComPointer() = default;
    ~ComPointer() {
        if (pointer_ != nullptr) {
            pointer_->Release();
        }
    }
    ComPointer(const ComPointer&) = delete;
    ComPointer& operator=(const ComPointer&) = delete;
    Interface** out() noexcept { return &pointer_; }
    Interface* operator->() const noexcept { return pointer_; }

private:
    Interface* pointer_ = nullptr;
};

struct ShellLink {
    ComPointer<IShellLinkW> link;
    ComPointer<IPersistFile> file;

    ShellLink() {
        check(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(link.out())),
              "CoCreateInstance ShellLink");
        check(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.out())), "IPersistFile");
    }
};

struct ShortcutTarget {
    std::wstring program;
    std::wstring folder;
};

// What the shortcut at path starts, and in which folder; nothing when it is
// not a readable shell link.
std::optional<ShortcutTarget> shortcutTarget(const fs::path& path) {
    if (!fs::is_regular_file(fs::symlink_status(path))) {
        return std::nullopt;
    }
    ShellLink existing;
    if (FAILED(existing.file->Load(path.c_str(), STGM_READ))) {
        return std::nullopt;
    }
    std::wstring target(32768, L'\0');
    std::wstring folder(32768, L'\0');
    if (existing.link->GetPath(target.data(), static_cast<int>(target.size()), nullptr, SLGP_RAWPATH) != S_OK ||
        FAILED(existing.link->GetWorkingDirectory(folder.data(), static_cast<int>(folder.size())))) {
        return std::nullopt;
    }
    target.resize(std::wcslen(target.c_str()));
    folder.resize(std::wcslen(folder.c_str()));
    return ShortcutTarget{target, folder};
}

// Whether the shortcut at path already starts executable in its folder.
bool startsAlready(const fs::path& path, const fs::path& executable) {
    const std::optional<ShortcutTarget> target = shortcutTarget(path);
    return target && target->program == executable.wstring() && target->folder == executable.parent_path().wstring();
}

fs::path startMenuFolder() {
    return roamingAppDataFolder() / L"Microsoft" / L"Windows" / L"Start Menu" / L"Programs";
}

}  // namespace

// The per-user Start menu (under APPDATA, where the data folder lives) gets a
// shortcut of the program's name; it is written under a private name and
// moved over the old one, so the menu never holds half a shortcut.
DesktopEntryUpdate pointDesktopEntryAt(const fs::path& given) {
    // The form the shell stores and gives back: one kind of separator, no "." or "..".
    const fs::path executable = fs::path(given).make_preferred().lexically_normal();
    const fs::path folder = startMenuFolder();
    const fs::path shortcut = folder / kShortcutName;
    if (hasRedirectionAttribute(folder) || hasRedirectionAttribute(shortcut)) {
        return DesktopEntryUpdate::leftAlone;
    }
    ComApartment com;
    if (startsAlready(shortcut, executable)) {
        return DesktopEntryUpdate::unchanged;
    }
    fs::create_directories(folder);
    ShellLink link;
    check(link.link->SetPath(executable.c_str()), "IShellLinkW::SetPath");
    check(link.link->SetWorkingDirectory(executable.parent_path().c_str()), "IShellLinkW::SetWorkingDirectory");
    check(link.link->SetIconLocation(executable.c_str(), 0), "IShellLinkW::SetIconLocation");
    check(link.link->SetDescription(L"Zarvo Launcher"), "IShellLinkW::SetDescription");
    const fs::path temporary =
        folder / (std::wstring(L".") + kShortcutName + L"." + std::to_wstring(::GetCurrentProcessId()));
    ::DeleteFileW(temporary.c_str());
    try {
        check(link.file->Save(temporary.c_str(), TRUE), "IPersistFile::Save");
        replaceFileDurably(temporary, shortcut);
    } catch (...) {
        ::DeleteFileW(temporary.c_str());
        throw;
    }
    return DesktopEntryUpdate::written;
}

EntryRemoval removeDesktopEntryInto(const fs::path& folder) {
    const fs::path shortcut = startMenuFolder() / kShortcutName;
    if (hasRedirectionAttribute(shortcut.parent_path()) || hasRedirectionAttribute(shortcut)) {
        return EntryRemoval::kept;
    }
    if (!fs::exists(fs::symlink_status(shortcut))) {
        return EntryRemoval::absent;
    }
    std::optional<ShortcutTarget> target;
    {
        ComApartment com;
        target = shortcutTarget(shortcut);
    }
    if (!target || !liesInside(target->program, folder)) {
        return EntryRemoval::kept;
    }
    if (!::DeleteFileW(shortcut.c_str())) {
        throwLastError("remove shortcut", shortcut);
    }
    return EntryRemoval::removed;
}

}  // namespace zarvo::platform
