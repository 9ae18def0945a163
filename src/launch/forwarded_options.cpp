// The options that travel from one pre-starter to the next. Nothing else does:
// "--no-self-update" in particular stays with the run that was given it.
#include "launch/self_update.h"

#include "platform/files.h"
#include "storage/data_layout.h"

namespace zarvo {

std::vector<std::string> forwardedOptions(const SelfUpdateContext& context) {
    using platform::pathToGenericUtf8;
    std::vector<std::string> arguments = {
        "--data-dir", pathToGenericUtf8(context.dataDir),
        "--service-url", context.serviceUrl,
        // The trust this run checked the release with, as the update flow stored it.
        "--code-trust", pathToGenericUtf8(DataLayout(context.dataDir).codeTrustFile()),
    };
    if (context.allowLoopbackHttp) {
        arguments.push_back("--allow-loopback-http");
    }
    if (context.headless) {
        arguments.push_back("--headless");
    }
    for (const char* flag : {"--debug", "--no-launch"}) {
        if (context.options->count(flag) != 0) {
            arguments.push_back(flag);
        }
    }
    return arguments;
}

}  // namespace zarvo
