// Picks a UTF-8 character type on POSIX systems, where the default "C" locale
// is ASCII only and non-ASCII names would fail to convert.
#include "platform/locale.h"

#include <langinfo.h>

#include <clocale>
#include <cstring>
#include <initializer_list>

namespace zarvo::platform {
namespace {

bool characterTypeIsUtf8() {
    const char* codeset = ::nl_langinfo(CODESET);
    return codeset != nullptr && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

}  // namespace

bool useUtf8CharacterType() {
    // "C.UTF-8" keeps every rule of the "C" locale but the encoding; the others
    // are for systems that lack it. The user's own locale comes last, and only
    // counts when it is UTF-8 too.
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8", "en_US.utf8", ""}) {
        if (std::setlocale(LC_CTYPE, name) != nullptr && characterTypeIsUtf8()) {
            return true;
        }
    }
    std::setlocale(LC_CTYPE, "C");
    return false;
}

}  // namespace zarvo::platform
