// Typefaces carried inside the program, made available to its own text
// drawing only: nothing is installed for other programs.
#pragma once

#include <cstddef>
#include <string>

namespace zarvo::platform {

// Registers the bytes of one font file for this process under the family name
// stored in the file, which must equal family. The bytes stay in use for the
// process's life. Raises std::system_error when the system refuses the font
// (no bytes, not a font, or another family inside).
void registerPrivateFont(const unsigned char* bytes, std::size_t size, const std::string& family);

}  // namespace zarvo::platform
