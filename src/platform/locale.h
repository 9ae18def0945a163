// The character-type locale, which decides how archive entry names and other
// multibyte text are converted to and from UTF-8.
#pragma once

namespace zarvo::platform {

// Switches the process's character type (and nothing else: numbers and messages
// stay in the "C" locale) to UTF-8. Returns whether a UTF-8 character type is
// now in effect. Call once at start-up, on the main thread, before other threads start.
bool useUtf8CharacterType();

}  // namespace zarvo::platform
