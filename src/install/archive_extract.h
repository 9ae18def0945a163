// Unpacking a downloaded, already verified archive into a folder of the
// pre-starter, refusing anything that could leave the folder or exhaust the disk.
#pragma once

#include <cstdint>
#include <filesystem>

namespace zarvo {

// Extracts every entry of the archive (any format and compression libarchive
// reads) below destination, which is created when missing. Links, devices,
// unsafe or repeated names, more than 100,000 entries and more than
// maxTotalBytes of file data are refused with zarvo::Error. Files written
// before a failure stay; removing them is the caller's business. Update thread.
void extractArchive(const std::filesystem::path& archive, const std::filesystem::path& destination,
                    std::uint64_t maxTotalBytes);

}  // namespace zarvo
