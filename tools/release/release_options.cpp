// Parsing of the release tool's command line.
#include "release_options.h"

namespace zarvo::release {
namespace {

const std::map<std::string, std::set<std::string>> kCommandOptions = {
    {"keygen", {"secret-key", "trust"}},
    {"sign", {"secret-key", "payload", "out"}},
};

ToolError usageError(const std::string& message) {
    return ToolError(message + "\nRun 'zarvo-release --help' for usage.", 2);
}

}  // namespace

const std::string& Invocation::required(const std::string& name) const {
    auto found = options.find(name);
    if (found == options.end()) {
        throw usageError("missing required option --" + name + " for '" + command + "'");
    }
    return found->second;
}

std::string usageText() {
    return "Usage:\n"
           "  zarvo-release keygen --secret-key FILE --trust FILE\n"
           "      Makes a new Ed25519 signing key. The secret key goes to a new file\n"
           "      readable only by its owner (an existing file is never overwritten);\n"
           "      the trust object (keyId, publicKey, scope \"code\") goes to the trust\n"
           "      file. Prints the Base64 public key, the value for -DZARVO_TRUST_KEY.\n"
           "  zarvo-release sign --secret-key FILE --payload FILE [--out FILE]\n"
           "      Signs exactly the bytes of the payload, which must be strict JSON\n"
           "      (no duplicate members, nothing after the value), and writes the\n"
           "      signed envelope as compact JSON to FILE or to standard output.\n"
           "  zarvo-release --help\n"
           "\n"
           "Exit codes: 0 success, 1 failure, 2 usage mistake.\n";
}

Invocation parseInvocation(const std::vector<std::string>& arguments) {
    Invocation invocation;
    bool help = !arguments.empty() && arguments[0] == "help";
    for (const auto& argument : arguments) {
        help = help || argument == "--help" || argument == "-h";
    }
    if (help) {
        invocation.command = "help";
        return invocation;
    }
    if (arguments.empty()) {
        throw usageError("no command given");
    }
    invocation.command = arguments[0];
    auto allowed = kCommandOptions.find(invocation.command);
    if (allowed == kCommandOptions.end()) {
        throw usageError("unknown command '" + invocation.command + "'");
    }
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.rfind("--", 0) != 0 || argument.size() == 2) {
            throw usageError("unexpected argument '" + argument + "'");
        }
        std::string name = argument.substr(2);
        std::string value;
        if (auto equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else {
            if (i + 1 >= arguments.size()) {
                throw usageError("option --" + name + " needs a value");
            }
            value = arguments[++i];
        }
        if (allowed->second.count(name) == 0) {
            throw usageError("unknown option --" + name + " for '" + invocation.command + "'");
        }
        if (value.empty()) {
            throw usageError("option --" + name + " needs a non-empty value");
        }
        if (!invocation.options.emplace(name, value).second) {
            throw usageError("option --" + name + " given twice");
        }
    }
    return invocation;
}

}  // namespace zarvo::release
