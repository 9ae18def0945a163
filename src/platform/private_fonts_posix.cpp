// Process-private fonts through fontconfig: the bytes live in an anonymous
// memory file that stays open for the process's life, and fontconfig reads it
// as an application font through its /proc/self/fd path.
#include "platform/private_fonts.h"

#include <fontconfig/fontconfig.h>
#include <sys/mman.h>

#include <cerrno>
#include <string_view>
#include <system_error>

#include "platform/file_handle.h"
#include "platform/file_io.h"

namespace zarvo::platform {
namespace {

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
    FileHandle memory(::memfd_create(family.c_str(), MFD_CLOEXEC));
    if (!memory.valid()) {
        throw std::system_error(errno, std::generic_category(), "memfd_create");
    }
    writeAll(memory, std::string_view(reinterpret_cast<const char*>(bytes), size));
    const std::string file = "/proc/self/fd/" + std::to_string(memory.get());
    if (!FcConfigAppFontAddFile(nullptr, reinterpret_cast<const FcChar8*>(file.c_str())) ||
        !applicationFontHasFamily(file, family)) {
        throw std::system_error(EINVAL, std::generic_category(), "fontconfig refused font " + family);
    }
    // Kept open for the process's life: fontconfig opens the file again by path whenever it loads glyphs.
    memory.release();
}

}  // namespace zarvo::platform
