// Updates of an installed core by the built pre-starter: one file, 1 % and
// 10 % of the files, and every file changed, each through the delta path and
// through the whole archive, with the bytes nginx sent, beside the floor
// (the changed files' members).
#pragma once

#include <cstdint>
#include <filesystem>

namespace zarvo::benchmark {

// Packs a core of files files and about mib MiB with the release tool,
// installs it, measures each update from a copy of that installation and
// prints its own table to standard output. Raises std::runtime_error.
void printDeltaUpdates(int files, std::uint64_t mib, const std::filesystem::path& work);

}  // namespace zarvo::benchmark
