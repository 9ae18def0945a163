// Process-private fonts through fontconfig: the bytes live in an anonymous
// memory file that stays open for the process's life, and fontconfig reads it
// as an application font through its /proc/self/fd path.
#include "platform/private_fonts.h"

#include <fontconfig/fontconfig.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zarvo::platform {
namespace {

void writeAllBytes(int descriptor, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        ssize_t count = ::write(descriptor, bytes, size);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "write font");
        }
        bytes += count;
        size -= static_cast<std::size_t>(count);
    }
}

// Whether fontconfig's application fonts now hold a face of the family from this file.
bool applicationFontHasFamily(const std::string& file, const std::string& family) {
    FcFontSet* fonts = FcConfigGetFonts(nullptr, FcSetApplication);
    if (fonts == nullptr) {
        return false;
    }
    for (int i = 0; i < fonts->nfont; ++i) {
        FcChar8* fontFile = nullptr;
        if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &fontFile) != FcResultMatch ||
            file != reinterpret_cast<const char*>(fontFile)) {
            continue;
        }
        FcChar8* name = nullptr;
        for (int n = 0; FcPatternGetString(fonts->fonts[i], FC_FAMILY, n, &name) == FcResultMatch; ++n) {
            if (family == reinterpret_cast<const char*>(name)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

void registerPrivateFont(const unsigned char* bytes, std::size_t size, const std::string& family) {
    if (bytes == nullptr || size == 0) {
        throw std::system_error(ENODATA, std::generic_category(), "font " + family + " has no data");
    }
    // Never closed: fontconfig opens the file again by path whenever it loads glyphs.
    int descriptor = ::memfd_create(family.c_str(), MFD_CLOEXEC);
    if (descriptor < 0) {
        throw std::system_error(errno, std::generic_category(), "memfd_create");
    }
    try {
        writeAllBytes(descriptor, bytes, size);
    } catch (...) {
        ::close(descriptor);
        throw;
    }
    const std::string file = "/proc/self/fd/" + std::to_string(descriptor);
    if (!FcConfigAppFontAddFile(nullptr, reinterpret_cast<const FcChar8*>(file.c_str())) ||
        !applicationFontHasFamily(file, family)) {
        ::close(descriptor);
        throw std::system_error(EINVAL, std::generic_category(), "fontconfig refused font " + family);
    }
}

}  // namespace zarvo::platform
