// The benchmark's inputs: one large file to serve and a tree of many files to
// pack, extract and verify, filled with moderately compressible bytes.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zarvo::benchmark {

// Writes size bytes to path and returns their SHA-256 as lowercase hex.
std::string writeDataFile(const std::filesystem::path& path, std::uint64_t size, std::uint64_t seed);

struct FileTree {
    std::vector<std::string> names;  // "/"-separated, relative to the root
    Json::Value files{Json::objectValue};  // name -> SHA-256, as a component lists them
    std::uint64_t bytes = 0;
};

// Writes fileCount files of varied sizes (averaging averageSize) into folders below root.
FileTree writeFileTree(const std::filesystem::path& root, int fileCount, std::uint64_t averageSize);

}  // namespace zarvo::benchmark
