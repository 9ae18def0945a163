// Whole runs of the built pre-starter against a release served by nginx: a
// cold install into a fresh data folder, and a warm start of the installed
// slot, each beside the command-line tools that do the same work.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "report.h"

namespace zarvo::benchmark {

// Two rows for a release of about files files and mib MiB. Raises std::runtime_error.
std::vector<Row> endToEndRows(int files, std::uint64_t mib, const std::filesystem::path& work);

}  // namespace zarvo::benchmark
