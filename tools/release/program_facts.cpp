#include "program_facts.h"

#include <cstdint>

#include "build_config.h"

namespace zarvo::release {
namespace {

constexpr std::size_t kVersionLength = 64;
constexpr std::size_t kUrlLength = 2048;
constexpr std::size_t kKeyLength = 64;

// Little-endian fields read with bounds checks; a field beyond the end reads
// as nothing, so a truncated or forged header yields no names, never a fault.
class Bytes {
public:
    explicit Bytes(std::string_view bytes) : bytes_(bytes) {}

    std::optional<std::uint64_t> number(std::uint64_t offset, unsigned width) const {
        if (offset > bytes_.size() || bytes_.size() - offset < width) {
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (unsigned i = width; i-- > 0;) {
            value = (value << 8) | static_cast<unsigned char>(bytes_[offset + i]);
        }
        return value;
    }
    // The NUL-terminated text at offset, at most limit bytes.
    std::string text(std::uint64_t offset, std::size_t limit) const {
        if (offset >= bytes_.size()) {
            return {};
        }
        std::string_view rest = bytes_.substr(offset, limit);
        return std::string(rest.substr(0, rest.find('\0')));
    }
    std::string_view view() const { return bytes_; }

private:
    std::string_view bytes_;
};

bool isDebugName(const std::string& name) { return name.starts_with(".debug") || name.starts_with(".zdebug"); }

std::vector<std::string> elfDebugSections(const Bytes& elf) {
    const bool wide = elf.number(4, 1) == 2u;  // ELFCLASS64
    if (elf.number(5, 1) != 1u) {
        return {};  // only little-endian programs are packed
    }
    const auto tableOffset = elf.number(wide ? 0x28 : 0x20, wide ? 8 : 4);
    const auto entrySize = elf.number(wide ? 0x3A : 0x2E, 2);
    const auto count = elf.number(wide ? 0x3C : 0x30, 2);
    const auto namesIndex = elf.number(wide ? 0x3E : 0x32, 2);
    if (!tableOffset || !entrySize || !count || !namesIndex || *namesIndex >= *count ||
        *entrySize < (wide ? 0x28u : 0x18u)) {
        return {};
    }
    const auto sectionOffset = [&](std::uint64_t index) {
        return elf.number(*tableOffset + index * *entrySize + (wide ? 0x18 : 0x10), wide ? 8 : 4);
    };
    const auto namesAt = sectionOffset(*namesIndex);
    if (!namesAt) {
        return {};
    }
    std::vector<std::string> names;
    for (std::uint64_t i = 0; i < *count; ++i) {
        const auto nameOffset = elf.number(*tableOffset + i * *entrySize, 4);
        if (!nameOffset) {
            return {};
        }
        std::string name = elf.text(*namesAt + *nameOffset, 256);
        if (isDebugName(name)) {
            names.push_back(name);
        }
    }
    return names;
}

std::vector<std::string> peDebugSections(const Bytes& pe) {
    const auto header = pe.number(0x3C, 4);
    if (!header || pe.number(*header, 4) != 0x00004550u) {  // "PE\0\0"
        return {};
    }
    const auto count = pe.number(*header + 6, 2);
    const auto symbols = pe.number(*header + 12, 4);
    const auto symbolCount = pe.number(*header + 16, 4);
    const auto optionalSize = pe.number(*header + 20, 2);
    if (!count || !symbols || !symbolCount || !optionalSize) {
        return {};
    }
    // Names longer than eight bytes (GCC's ".debug_info") are "/N": an offset
    // into the string table that follows the symbol table.
    const std::uint64_t strings = *symbols + *symbolCount * 18;
    std::vector<std::string> names;
    for (std::uint64_t i = 0; i < *count; ++i) {
        const std::uint64_t entry = *header + 24 + *optionalSize + i * 40;
        if (!pe.number(entry, 8)) {
            return {};
        }
        std::string name = pe.text(entry, 8);
        if (name.starts_with("/") && *symbols != 0) {
            const std::string digits = name.substr(1);
            if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) {
                name = pe.text(strings + std::stoull(digits), 256);
            }
        }
        if (isDebugName(name)) {
            names.push_back(name);
        }
    }
    return names;
}

// The text after prefix up to its NUL, made of allowed characters and at
// most limit long; nothing when there is none or two different ones (a copy
// in the debug information is the same text).
std::optional<std::string> recordedText(std::string_view program, std::string_view prefix, std::size_t limit,
                                        std::string_view allowed) {
    std::optional<std::string> found;
    for (auto at = program.find(prefix); at != std::string_view::npos; at = program.find(prefix, at + 1)) {
        std::string_view rest = program.substr(at + prefix.size(), limit + 1);
        const auto end = rest.find('\0');
        if (end == std::string_view::npos || end == 0 ||
            rest.substr(0, end).find_first_not_of(allowed) != std::string_view::npos) {
            continue;
        }
        std::string text(rest.substr(0, end));
        if (found && *found != text) {
            return std::nullopt;
        }
        found = text;
    }
    return found;
}

}  // namespace

std::optional<std::string> recordedVersion(std::string_view program) {
    return recordedText(program, build::kVersionPrefix, kVersionLength,
                        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.+-~_");
}

std::optional<std::string> recordedServiceUrl(std::string_view program) {
    // Printable ASCII without blanks: all a URL the program accepts is made of.
    std::string printable;
    for (char c = '!'; c <= '~'; ++c) {
        printable += c;
    }
    return recordedText(program, build::kServiceUrlPrefix, kUrlLength, printable);
}

std::optional<std::string> recordedTrustKey(std::string_view program) {
    return recordedText(program, build::kTrustKeyPrefix, kKeyLength,
                        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+/=");
}

std::vector<std::string> debugSectionNames(std::string_view program) {
    const Bytes bytes(program);
    if (program.starts_with("\x7f" "ELF")) {
        return elfDebugSections(bytes);
    }
    if (program.starts_with("MZ")) {
        return peDebugSections(bytes);
    }
    return {};
}

}  // namespace zarvo::release
