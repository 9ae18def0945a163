#include "support/windows_program.h"

#include <cstdint>
#include <stdexcept>

namespace zarvo::test {
namespace {

void put(std::string& bytes, std::size_t offset, std::uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

}  // namespace

std::string minimalWindowsProgram(const std::string& text) {
    constexpr std::size_t kHeader = 0x40;        // "PE\0\0" right after the DOS header
    constexpr std::size_t kOptional = kHeader + 24;
    constexpr std::size_t kSections = kOptional + 0xF0;
    constexpr std::size_t kCode = 0x200;         // file alignment
    if (text.size() >= 0x200) {
        throw std::invalid_argument("the program's text must stay below 512 bytes");
    }
    std::string pe(0x400, '\0');
    pe.replace(0, 2, "MZ");
    put(pe, 0x3C, kHeader, 4);
    pe.replace(kHeader, 4, std::string("PE\0\0", 4));
    put(pe, kHeader + 4, 0x8664, 2);  // x86-64
    put(pe, kHeader + 6, 1, 2);       // one section
    put(pe, kHeader + 20, 0xF0, 2);   // optional header size
    put(pe, kHeader + 22, 0x22, 2);   // executable, large-address aware
    put(pe, kOptional, 0x20B, 2);     // PE32+
    put(pe, kOptional + 16, 0x1000, 4);         // entry point
    put(pe, kOptional + 20, 0x1000, 4);         // base of code
    put(pe, kOptional + 24, 0x140000000, 8);    // image base
    put(pe, kOptional + 32, 0x1000, 4);         // section alignment
    put(pe, kOptional + 36, kCode, 4);          // file alignment
    put(pe, kOptional + 40, 6, 2);              // operating system version
    put(pe, kOptional + 48, 6, 2);              // subsystem version
    put(pe, kOptional + 56, 0x2000, 4);         // image size
    put(pe, kOptional + 60, kCode, 4);          // header size
    put(pe, kOptional + 68, 3, 2);              // console subsystem
    put(pe, kOptional + 70, 0x8160, 2);         // ASLR, NX, terminal-server aware, high entropy
    for (unsigned i = 0; i < 4; ++i) {
        put(pe, kOptional + 72 + 8 * i, i % 2 == 0 ? 0x100000 : 0x1000, 8);  // stack and heap
    }
    put(pe, kOptional + 108, 16, 4);            // data directories, all empty
    pe.replace(kSections, 5, ".text");
    put(pe, kSections + 8, 0x200, 4);           // virtual size
    put(pe, kSections + 12, 0x1000, 4);         // virtual address
    put(pe, kSections + 16, 0x200, 4);          // raw size
    put(pe, kSections + 20, kCode, 4);          // raw offset
    put(pe, kSections + 36, 0x60000020, 4);     // code, readable, executable
    pe[kCode] = static_cast<char>(0xC3);        // ret
    pe.replace(kCode + 1, text.size(), text);
    return pe;
}

}  // namespace zarvo::test
