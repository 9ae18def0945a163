#include "platform/private_access_win32.h"

#include <sddl.h>

#include <mutex>
#include <vector>

#include "platform/files_win32.h"

namespace zarvo::platform {

std::wstring currentUserSidText() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        throwLastError("open process token");
    }
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    const BOOL read = size != 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    const DWORD readError = ::GetLastError();
    ::CloseHandle(token);
    if (!read) {
        throwWin32(readError, "read process token");
    }
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        throwLastError("user security identifier");
    }
    std::wstring sid(text);
    ::LocalFree(text);
    return sid;
}

SECURITY_ATTRIBUTES* privateFolderAttributes() {
    static std::once_flag built;
    static SECURITY_ATTRIBUTES attributes{};
    std::call_once(built, [] {
        // Protected (P); full control (FA) for both, inherited by files (OI) and folders (CI) made inside.
        const std::wstring rules = L"D:P(A;OICI;FA;;;" + currentUserSidText() + L")(A;OICI;FA;;;SY)";
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(rules.c_str(), SDDL_REVISION_1,
                                                                   &descriptor, nullptr)) {
            throwLastError("build folder access rules");
        }
        // Kept for the process's life: every new folder takes the same rules.
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = descriptor;
        attributes.bInheritHandle = FALSE;
    });
    return &attributes;
}

}  // namespace zarvo::platform
