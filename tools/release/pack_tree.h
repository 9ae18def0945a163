// A folder that pack turns into an archive: read once, checked against what a
// pre-starter unpacks, and written as a reproducible tar.gz.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace zarvo::release {

class PackTree {
public:
    // Reads everything below root (links are not followed). what names the
    // folder in messages ("core folder"). Raises ToolError naming the first
    // link, device, unsafe or case-twin name, or when the folder holds more
    // entries or bytes than a pre-starter unpacks (ceiling).
    static PackTree scan(const std::filesystem::path& root, const std::string& what, std::uint64_t ceiling);

    // Raises ToolError unless entry names one of the tree's regular files
    // whose owner may execute it.
    void requireEntry(const std::string& entry) const;
    // From now on the file name is packed from source (a signed copy of it)
    // with source's size; its name and mode stay the tree's. Raises ToolError
    // when name is no file of the tree or the tree would outgrow its ceiling.
    void replaceFile(const std::string& name, const std::filesystem::path& source);

    // Writes the tree as gzip-compressed tar: entries in the order read (each
    // folder before its contents, names in byte order), time 0, owner and group
    // 0 without names, permission bits as found, no compression time stamp.
    // Returns the file list: each regular file's path and the SHA-256 of the
    // bytes that went into the archive. Raises ToolError naming a file that
    // cannot be read or changed while it was packed.
    Json::Value writeArchive(const std::filesystem::path& archive) const;
    // The same file list, written as the core's seekable archive: no folder
    // entries, the files in the byte order of their names, each file's tar
    // entry (pax header, header, data, padding) a gzip member of its own, and
    // a last member holding the end-of-archive blocks. ranges receives, per
    // file, [offset, length] of its member in the archive. Reproducible.
    // Raises ToolError like writeArchive.
    Json::Value writeMemberArchive(const std::filesystem::path& archive, Json::Value& ranges) const;

    std::size_t fileCount() const;
    std::uint64_t totalBytes() const { return totalBytes_; }

private:
    struct Entry;
    std::string copyFileInto(const Entry& item, const std::function<void(const char*, std::size_t)>& sink) const;

    struct Entry {
        std::string name;  // "/"-separated, relative to the root
        bool folder = false;
        std::uint64_t size = 0;
        unsigned mode = 0;  // permission bits
        std::filesystem::path source;  // when empty, the file below the root
    };

    std::filesystem::path root_;
    std::string what_;
    std::uint64_t ceiling_ = 0;
    std::vector<Entry> entries_;
    std::uint64_t totalBytes_ = 0;
};

}  // namespace zarvo::release
