// Real release files for end-to-end update runs: the stand-in core packed as a
// tar.gz with its file list, and an interface package, served from a folder.
#pragma once

#include <json/value.h>

#include <filesystem>
#include <string>

namespace zarvo::test {

// Points the manifest's core and ui at files in folder, reachable under
// baseUrl ("http://127.0.0.1:<port>"): "core.tar.gz" (bin/core, the stand-in
// core; packed on first use and then kept, so its digest stays the same) and
// "<uiName>" holding uiText.
void publishRelease(Json::Value& manifest, const std::filesystem::path& folder, const std::string& baseUrl,
                    const std::string& uiName = "ui.rcc", const std::string& uiText = "ui package");

}  // namespace zarvo::test
