#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/files_win32.h"
#include "test_core_system.h"

std::vector<std::pair<std::string, std::string>> environmentEntries() {
    std::vector<std::pair<std::string, std::string>> entries;
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* item = block; item != nullptr && *item != L'\0'; item += std::wcslen(item) + 1) {
        // Names beginning with "=" are the per-drive current folders, not variables.
        const wchar_t* equals = std::wcschr(item + 1, L'=');
        if (item[0] != L'=' && equals != nullptr) {
            entries.emplace_back(zarvo::platform::utf8FromUtf16(std::wstring_view(item, static_cast<std::size_t>(equals - item))),
                                 zarvo::platform::utf8FromUtf16(equals + 1));
        }
    }
    ::FreeEnvironmentStringsW(block);
    return entries;
}

// Windows shows no list of inherited handles; whether the standard handles
// lead anywhere is what a start without inheritance can be told by.
void recordInheritance(Json::Value& entry) {
    entry["std"] = Json::Value(Json::arrayValue);
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = ::GetStdHandle(which);
        entry["std"].append(handle != nullptr && handle != INVALID_HANDLE_VALUE &&
                            ::GetFileType(handle) != FILE_TYPE_UNKNOWN);
    }
}

void crash() {
    // An access violation, as a crashing core ends: no error box, exit code 0xC0000005.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    std::_Exit(134);
}
