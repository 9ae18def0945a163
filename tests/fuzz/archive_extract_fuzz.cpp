// Extraction of whatever archive the fuzzer makes (any format and filter
// libarchive reads) under a 1 MiB ceiling: nothing appears outside the
// destination, no links of any kind, no more bytes than the ceiling, and every
// failure is the program's own error.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_check.h"
#include "install/archive_extract.h"
#include "platform/user_settings.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kCeiling = 1048576;

// Everything the extraction left, checked, then removed for the next input.
void checkAndClear(const fs::path& base, const fs::path& archive, const fs::path& destination) {
    using zarvo::fuzz::require;
    for (const fs::directory_entry& entry : fs::directory_iterator(base)) {
        require(entry.path() == archive || entry.path() == destination,
                "written outside the destination: " + entry.path().string());
    }
    std::uint64_t bytes = 0;
    if (fs::exists(fs::symlink_status(destination))) {
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(destination)) {
            fs::file_status status = entry.symlink_status();
            require(status.type() == fs::file_type::directory || status.type() == fs::file_type::regular,
                    "a link or special file was written: " + entry.path().string());
            if (status.type() == fs::file_type::regular) {
                require(fs::hard_link_count(entry.path()) == 1, "a hard link was written: " + entry.path().string());
                bytes += fs::file_size(entry.path());
            }
        }
    }
    require(bytes <= kCeiling, "more than the ceiling was written: " + std::to_string(bytes));
    fs::remove_all(destination);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zarvo::fuzz::require(zarvo::platform::useUtf8CharacterType(), "no UTF-8 character type");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zarvo;
    const fs::path& base = fuzz::scratchFolder();
    const fs::path archive = base / "archive";
    const fs::path destination = base / "out";
    fuzz::writeScratchFile(archive, data, size);
    try {
        extractArchive(archive, destination, kCeiling);
    } catch (const Error& error) {
        fuzz::requireOwnError(error, {"LOCAL_ERROR", "UNSAFE_ARCHIVE", "UNSAFE_PATH", "EXTRACT_WRITE_FAILED"});
    }
    checkAndClear(base, archive, destination);
    return 0;
}
