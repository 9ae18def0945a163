// What every fuzz target shares: reporting a broken property the way libFuzzer
// notices (an abort with the reason), the check that a failure is the
// program's own, and a scratch folder for targets that need files.
#pragma once

#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>

#include "trust/error.h"

namespace zarvo::fuzz {

[[noreturn]] inline void broken(const std::string& what) {
    std::fprintf(stderr, "property broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void require(bool holds, const std::string& what) {
    if (!holds) {
        broken(what);
    }
}

// A failure the user may see: one of the expected codes and a Russian message
// (Cyrillic letters are two-byte UTF-8 sequences led by 0xD0 or 0xD1), never
// the text of a library's own exception.
inline void requireOwnError(const Error& error, std::initializer_list<std::string_view> codes) {
    std::string_view message = error.what();
    bool russian = message.find('\xD0') != std::string_view::npos || message.find('\xD1') != std::string_view::npos;
    require(std::find(codes.begin(), codes.end(), error.code()) != codes.end() && russian,
            "unexpected error " + error.code() + ": " + std::string(message));
}

// A private folder for this process below TMPDIR, removed when the run ends
// normally (a crashed run leaves it for inspection).
inline const std::filesystem::path& scratchFolder() {
    struct Scratch {
        std::filesystem::path path;
        Scratch() {
            const char* base = std::getenv("TMPDIR");
            std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zarvo-fuzz-XXXXXX";
            if (mkdtemp(pattern.data()) == nullptr) {
                broken("no scratch folder below " + pattern);
            }
            path = pattern;
        }
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Scratch scratch;
    return scratch.path;
}

// Writes the input as a file. A new file each time: ext4 flushes a file that is
// truncated and written again to disk on close, which would slow a run tenfold.
inline void writeScratchFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    std::filesystem::remove(path);
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    require(file.good(), "cannot write " + path.string());
}

// Deterministic libsodium set-up; every target that verifies or signs calls it first.
inline void initSodium() {
    if (sodium_init() < 0) {
        broken("sodium_init failed");
    }
}

}  // namespace zarvo::fuzz
