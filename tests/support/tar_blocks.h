// Raw ustar blocks for archive tests: the fields are written as given, so
// that nothing in between can clean up a hostile name, type or size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zarvo::test {

// One ustar header block.
inline std::string tarHeader(const std::string& name, char type, std::uint64_t size, unsigned mode = 0644,
                             const std::string& link = "") {
    std::string block(512, '\0');
    auto put = [&block](std::size_t offset, const std::string& text) { block.replace(offset, text.size(), text); };
    auto octal = [](std::uint64_t value, int width) {
        char text[32];
        std::snprintf(text, sizeof text, "%0*llo", width - 1, static_cast<unsigned long long>(value));
        return std::string(text);
    };
    put(0, name.substr(0, 100));
    put(100, octal(mode, 8));
    put(108, octal(1000, 8));
    put(116, octal(1000, 8));
    put(124, octal(size, 12));
    put(136, octal(1700000000, 12));
    block[156] = type;
    put(157, link.substr(0, 100));
    put(257, std::string("ustar\0" "00", 8));
    put(329, octal(0, 8));
    put(337, octal(0, 8));
    put(148, std::string(8, ' '));
    unsigned sum = 0;
    for (unsigned char c : block) {
        sum += c;
    }
    put(148, octal(sum, 7));
    return block;
}

// A file's data padded to whole blocks.
inline std::string tarData(const std::string& data) {
    std::string padded = data;
    padded.resize((data.size() + 511) / 512 * 512, '\0');
    return padded;
}

inline std::string tarFile(const std::string& name, const std::string& data, unsigned mode = 0644) {
    return tarHeader(name, '0', data.size(), mode) + tarData(data);
}

// The two zero blocks that end an archive.
inline std::string tarEnd() { return std::string(1024, '\0'); }

}  // namespace zarvo::test
