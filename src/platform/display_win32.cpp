// The display on Windows: the session's desktop is always there, window
// outlines are GDI regions (SetWindowRgn, GetWindowRgn), and private fonts
// are registered from memory with AddFontMemResourceEx, visible to this
// process only.
#include "platform/display.h"

#include <cwchar>
#include <system_error>

#include "platform/files_win32.h"

namespace zarvo::platform {
namespace {

HWND shownWindow(NativeWindow native) {
    HWND window = reinterpret_cast<HWND>(native);
    if (window == nullptr || !::IsWindow(window)) {
        throw std::system_error(std::make_error_code(std::errc::not_connected), "window is not shown");
    }
    return window;
}

// Owns a GDI object until it is handed to the system.
struct GdiObject {
    HGDIOBJ object;
    explicit GdiObject(HGDIOBJ created) : object(created) {}
    ~GdiObject() {
        if (object != nullptr) {
            ::DeleteObject(object);
        }
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
};

// The face GDI picks for a family name, which is the family itself only when a
// font of that family is available to this process.
std::wstring faceChosenFor(const std::wstring& family) {
    HDC context = ::CreateCompatibleDC(nullptr);
    if (context == nullptr) {
        throwLastError("CreateCompatibleDC");
    }
    LOGFONTW wanted{};
    wanted.lfHeight = -16;
    wanted.lfCharSet = DEFAULT_CHARSET;
    std::wcsncpy(wanted.lfFaceName, family.c_str(), LF_FACESIZE - 1);
    GdiObject font(::CreateFontIndirectW(&wanted));
    HGDIOBJ previous = ::SelectObject(context, font.object);
    wchar_t face[LF_FACESIZE] = {};
    int length = ::GetTextFaceW(context, LF_FACESIZE, face);
    ::SelectObject(context, previous);
    ::DeleteDC(context);
    return length > 0 ? std::wstring(face) : std::wstring();
}

}  // namespace

bool openDisplay() { return true; }

bool WindowRegion::contains(int x, int y) const {
    for (const RegionRectangle& r : rectangles) {
        if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) {
            return true;
        }
    }
    return false;
}

void applyWindowShape(NativeWindow native, const unsigned char* rgba, int width, int height) {
    HWND window = shownWindow(native);
    // One rectangle per run of opaque pixels in a row.
    std::vector<RECT> runs;
    for (int y = 0; y < height; ++y) {
        int x = 0;
        while (x < width) {
            while (x < width && rgba[(static_cast<std::size_t>(y) * width + x) * 4 + 3] == 0) {
                ++x;
            }
            const int start = x;
            while (x < width && rgba[(static_cast<std::size_t>(y) * width + x) * 4 + 3] != 0) {
                ++x;
            }
            if (x > start) {
                runs.push_back(RECT{start, y, x, y + 1});
            }
        }
    }
    std::vector<char> data(sizeof(RGNDATAHEADER) + runs.size() * sizeof(RECT));
    auto* header = reinterpret_cast<RGNDATAHEADER*>(data.data());
    header->dwSize = sizeof(RGNDATAHEADER);
    header->iType = RDH_RECTANGLES;
    header->nCount = static_cast<DWORD>(runs.size());
    header->rcBound = RECT{0, 0, width, height};
    std::copy(runs.begin(), runs.end(), reinterpret_cast<RECT*>(data.data() + sizeof(RGNDATAHEADER)));
    GdiObject region(::ExtCreateRegion(nullptr, static_cast<DWORD>(data.size()), reinterpret_cast<RGNDATA*>(data.data())));
    if (region.object == nullptr) {
        throwLastError("ExtCreateRegion");
    }
    if (::SetWindowRgn(window, static_cast<HRGN>(region.object), TRUE) == 0) {
        throwLastError("SetWindowRgn");
    }
    region.object = nullptr;  // the window owns it now
}

WindowRegion windowRegion(NativeWindow native) {
    HWND window = shownWindow(native);
    GdiObject region(::CreateRectRgn(0, 0, 0, 0));
    if (region.object == nullptr) {
        throwLastError("CreateRectRgn");
    }
    WindowRegion result;
    const int kind = ::GetWindowRgn(window, static_cast<HRGN>(region.object));
    if (kind == ERROR) {
        // No region set: the window is its whole rectangle, as an unshaped X11 window is.
        RECT bounds{};
        if (!::GetWindowRect(window, &bounds)) {
            throwLastError("GetWindowRect");
        }
        result.rectangles.push_back({0, 0, bounds.right - bounds.left, bounds.bottom - bounds.top});
        return result;
    }
    const DWORD size = ::GetRegionData(static_cast<HRGN>(region.object), 0, nullptr);
    std::vector<char> data(size);
    if (size == 0 || ::GetRegionData(static_cast<HRGN>(region.object), size, reinterpret_cast<RGNDATA*>(data.data())) == 0) {
        throwLastError("GetRegionData");
    }
    const auto* header = reinterpret_cast<const RGNDATAHEADER*>(data.data());
    const auto* rectangles = reinterpret_cast<const RECT*>(data.data() + header->dwSize);
    for (DWORD i = 0; i < header->nCount; ++i) {
        const RECT& r = rectangles[i];
        result.rectangles.push_back({r.left, r.top, r.right - r.left, r.bottom - r.top});
    }
    result.complex = kind == COMPLEXREGION;
    return result;
}

void registerPrivateFont(const unsigned char* bytes, std::size_t size, const std::string& family) {
    if (bytes == nullptr || size == 0 || size > 0xFFFFFFFFu) {
        throw std::system_error(std::make_error_code(std::errc::no_message_available), "font " + family + " has no data");
    }
    const std::wstring wideFamily = utf16FromUtf8(family);
    if (wideFamily.empty() || wideFamily.size() >= LF_FACESIZE) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "font family " + family);
    }
    DWORD installed = 0;
    HANDLE font = ::AddFontMemResourceEx(const_cast<unsigned char*>(bytes), static_cast<DWORD>(size), nullptr, &installed);
    if (font == nullptr || installed == 0) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "GDI refused font " + family);
    }
    // Memory fonts cannot be enumerated; asking GDI for the family shows
    // whether these bytes brought it.
    if (faceChosenFor(wideFamily) != wideFamily) {
        ::RemoveFontMemResourceEx(font);
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "font " + family + " is not in the registered bytes");
    }
    // Kept registered for the process's life; the system frees it at exit.
}

}  // namespace zarvo::platform
