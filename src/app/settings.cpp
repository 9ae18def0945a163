#include "app/settings.h"

#include <exception>

#include "storage/data_layout.h"
#include "trust/strict_json.h"
#include "trust/verified_file.h"

namespace zarvo {

bool readSettingsFlag(const std::filesystem::path& dataDir, const std::string& key) {
    try {
        Json::Value settings = parseStrictJson(readFileLimited(DataLayout(dataDir).settingsFile(), kJsonFileLimit));
        // The library's own lookup throws for a non-object top level and for
        // values that do not convert; both mean "not set".
        return settings.get(key, false).asBool();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace zarvo
