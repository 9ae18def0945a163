#include "support/release_files.h"

#include <stdexcept>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_core.h"
#include "trust/hashing.h"

namespace zarvo::test {

void publishRelease(Json::Value& manifest, const std::filesystem::path& folder, const std::string& baseUrl,
                    const std::string& uiName, const std::string& uiText) {
    const auto archive = folder / "core.tar.gz";
    const auto tree = folder / "core-tree";
    if (!std::filesystem::exists(archive)) {
        std::filesystem::create_directories(tree / "bin");
        std::filesystem::copy_file(testCorePath(), tree / "bin" / "core",
                                   std::filesystem::copy_options::overwrite_existing);
        auto packed = runChild("/bin/tar", {"-czf", archive.string(), "-C", tree.string(), "bin"});
        if (packed.exitCode != 0) {
            throw std::runtime_error("tar failed: " + packed.standardError);
        }
    }
    writeFile(folder / uiName, uiText);
    Json::Value& core = manifest["components"]["core"];
    core["url"] = baseUrl + "/core.tar.gz";
    core["sha256"] = hashFile(archive, "sha256");
    core["entry"] = "bin/core";
    core["files"] = Json::Value(Json::objectValue);
    core["files"]["bin/core"] = hashFile(tree / "bin" / "core", "sha256");
    Json::Value& ui = manifest["components"]["ui"];
    ui["url"] = baseUrl + "/" + uiName;
    ui["sha256"] = hashFile(folder / uiName, "sha256");
}

}  // namespace zarvo::test
