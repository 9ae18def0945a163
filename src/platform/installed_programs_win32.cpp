// The listing on Windows: the per-user uninstall key that "Apps & features"
// shows, written with the registry calls; no administrator rights needed.
#include "platform/installed_programs.h"

#include <cwchar>

#include "platform/files_win32.h"

namespace zarvo::platform {

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t* kUninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZarvoLauncher";

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (key_ != nullptr) {
            ::RegCloseKey(key_);
        }
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    HKEY* out() noexcept { return &key_; }
    HKEY get() const noexcept { return key_; }

private:
    HKEY key_ = nullptr;
};

void checkStatus(LSTATUS status, const char* operation) {
    if (status != ERROR_SUCCESS) {
        throwWin32(static_cast<DWORD>(status), operation);
    }
}

void setText(const RegistryKey& key, const wchar_t* name, const std::wstring& value) {
    checkStatus(::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                "RegSetValueExW");
}

void setNumber(const RegistryKey& key, const wchar_t* name, DWORD value) {
    checkStatus(::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
                "RegSetValueExW");
}

// A program path as the shell's command lines quote it.
std::wstring quoted(const fs::path& path) { return L"\"" + path.wstring() + L"\""; }

}  // namespace

DesktopEntryUpdate registerForUninstall(const UninstallEntry& entry) {
    const fs::path executable = fs::path(entry.executable).make_preferred().lexically_normal();
    RegistryKey key;
    checkStatus(::RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, key.out(), nullptr),
                "RegCreateKeyExW");
    setText(key, L"DisplayName", L"Zarvo Launcher");
    setText(key, L"DisplayVersion", utf16FromUtf8(entry.version));
    setText(key, L"Publisher", utf16FromUtf8(entry.publisher));
    setText(key, L"DisplayIcon", executable.wstring() + L",0");
    setText(key, L"InstallLocation", fs::path(entry.installLocation).make_preferred().lexically_normal().wstring());
    setText(key, L"UninstallString", quoted(executable) + L" --uninstall");
    // The same without a window, for tools that remove programs unattended.
    setText(key, L"QuietUninstallString", quoted(executable) + L" --uninstall --headless");
    setNumber(key, L"NoModify", 1);
    setNumber(key, L"NoRepair", 1);
    return DesktopEntryUpdate::written;
}

EntryRemoval removeUninstallEntryOf(const fs::path& folder) {
    std::wstring location(32768, L'\0');
    DWORD size = static_cast<DWORD>(location.size() * sizeof(wchar_t));
    const LSTATUS read = ::RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, L"InstallLocation", RRF_RT_REG_SZ, nullptr,
                                        location.data(), &size);
    if (read == ERROR_FILE_NOT_FOUND) {
        return EntryRemoval::absent;
    }
    checkStatus(read, "RegGetValueW");
    location.resize(std::wcslen(location.c_str()));
    if (!isSameLocation(fs::path(location), folder)) {
        return EntryRemoval::kept;
    }
    checkStatus(::RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKey), "RegDeleteKeyW");
    return EntryRemoval::removed;
}

}  // namespace zarvo::platform
