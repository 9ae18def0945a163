// A fresh folder per test, removed with everything in it afterwards.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>

namespace zarvo::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Whole-file helpers for arranging and checking test files.
void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);
// How often part occurs in text, overlaps included: lines of a log, say.
std::size_t countOf(const std::string& text, const std::string& part);
// Names (relative to folder) and contents of everything below a folder: file
// bytes, "<folder>", or "<link TARGET>" for a link, which is not followed.
std::map<std::string, std::string> folderSnapshot(const std::filesystem::path& folder);

}  // namespace zarvo::test
