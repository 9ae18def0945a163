// settings.json as the user may leave it: reading a flag never raises.
#include <cstddef>
#include <cstdint>

#include "app/settings.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path& dataDir = zarvo::fuzz::scratchFolder();
    zarvo::fuzz::writeScratchFile(dataDir / "settings.json", data, size);
    // An exception of either call escapes, and libFuzzer reports it.
    zarvo::readSettingsFlag(dataDir, "debugMode");
    zarvo::readSettingsFlag(dataDir, "reducedMotion");
    return 0;
}
