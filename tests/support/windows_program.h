// The smallest Windows program that tools accept as one: a PE32+ image for
// x86-64 with one code section, written by the test itself so that the Linux
// suite needs no cross-compiler to have one.
#pragma once

#include <string>

namespace zarvo::test {

// Headers, a section table holding ".text", and that section (a lone "ret",
// then text, for a test to tell one program from another): 1024 bytes.
std::string minimalWindowsProgram(const std::string& text = "");

}  // namespace zarvo::test
