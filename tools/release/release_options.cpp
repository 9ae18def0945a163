// Parsing of the release tool's command line, and its help texts.
#include "release_options.h"

#include <charconv>
#include <set>

namespace zarvo::release {
namespace {

struct CommandSpec {
    std::set<std::string> values;
    std::set<std::string> flags;
    const char* synopsis;
    const char* description;
};

const std::map<std::string, CommandSpec> kCommands = {
    {"keygen",
     {{"secret-key", "trust", "scope"},
      {},
      "zarvo-release keygen --secret-key FILE --trust FILE [--scope code|content]",
      "Makes a new Ed25519 signing key. The secret key goes to a new file that\n"
      "only its owner can read (an existing file is never overwritten, and a file\n"
      "system that would let others read it is refused); keep it outside any\n"
      "working tree. The trust object (keyId, publicKey, scope) goes to the trust\n"
      "file. Prints the Base64 public key: for scope \"code\" (the default) the\n"
      "value of -DZARVO_TRUST_KEY; a \"content\" key's trust file is what pack\n"
      "takes as --content-key. The secret is never printed. An existing trust\n"
      "file is replaced only when it is a public document of this tool (a trust\n"
      "file, signed envelope or manifest), never a secret key file.\n"},
     },
    {"sign",
     {{"secret-key", "payload", "out"},
      {},
      "zarvo-release sign --secret-key FILE --payload FILE [--out FILE]",
      "Signs exactly the bytes of the payload, which must be strict JSON (no\n"
      "duplicate members, nothing after the value), and writes the signed\n"
      "envelope as compact JSON to FILE or to standard output. For operators\n"
      "with their own packer; pack signs its own payload. A secret key file that\n"
      "others can read is refused, and so is a secret key file as the payload.\n"
      "An existing --out is replaced only when it is a public document of this\n"
      "tool (a trust file, signed envelope or manifest): never the --secret-key\n"
      "file, another secret key file, or anything else.\n"}},
    {"pack",
     {{"secret-key", "trust", "core", "core-entry", "core-version", "ui", "ui-version", "bundle", "bundle-entry",
       "bootstrap-version", "api-url", "azuriom-url", "content-key", "files-url", "out", "sequence", "platform",
       "after", "sign-cert", "sign-key", "sign-key-password-file", "sign-timestamp"},
      {"allow-loopback-http"},
      "zarvo-release pack --secret-key FILE --trust FILE --core DIR --core-entry PATH\n"
      "      --ui FILE [--bundle DIR --bundle-entry PATH] --api-url URL --azuriom-url URL\n"
      "      --content-key FILE --files-url URL --out DIR [--sequence N] [--after URL]\n"
      "      [--core-version TEXT] [--ui-version TEXT] [--bootstrap-version TEXT]\n"
      "      [--platform linux|windows]\n"
      "      [--sign-cert FILE --sign-key FILE [--sign-key-password-file FILE]\n"
      "       [--sign-timestamp URL]] [--allow-loopback-http]",
      "Builds a release into the folder --out, ready to be served as it is:\n"
      "  files/core-<sha256>.tar.gz       the core folder, packed reproducibly\n"
      "                                   (sorted, time 0, owner 0, modes kept)\n"
      "  files/ui-<sha256>.rcc            the interface package\n"
      "  files/bootstrap-<sha256>.tar.gz  the pre-starter bundle (with --bundle)\n"
      "  manifests/P.json                 the manifest payload\n"
      "  api/v1/bootstrap/P.json          the signed answer to\n"
      "                                   GET /api/v1/bootstrap?platform=P\n"
      "P is --platform, by default the platform this tool was built for (linux);\n"
      "one folder can hold a release for each platform, sharing identical files.\n"
      "Component URLs are --files-url (where the folder's files/ is served) and\n"
      "the file name. Every digest, size and the core's file list are computed.\n"
      "Refused, naming the file: links, devices, unsafe names or names that differ\n"
      "only in letter case, more than a pre-starter unpacks (1 GiB core, 128 MiB\n"
      "bundle, 256 MiB interface package, 100,000 entries), an entry that is not\n"
      "an executable regular file, a key that is not the trust file's, a published\n"
      "file that would change. The sequence is one more than the published\n"
      "answer's, or with --after one more than the higher of that and the answer\n"
      "the live service at URL gives now (signed with the trust file); an\n"
      "explicit --sequence must be higher than both. The release is built in a\n"
      "private folder beside --out and moved in, the answer last. Plain HTTP URLs\n"
      "are accepted for loopback hosts with --allow-loopback-http only.\n"
      "The bundle's version in the manifest (bootstrap.version) is\n"
      "--bootstrap-version, else the version the bundle's program records (the\n"
      "CMake project version it was built with; what its --version prints).\n"
      "A bundle program with debug sections (.debug_*) is packed with a warning:\n"
      "build what ships with 'cmake --preset release' (windows-release).\n"
      "An existing manifest or answer in --out is replaced only when it is a\n"
      "public document of this tool, never a secret key file.\n"
      "--sign-cert FILE --sign-key FILE (with --platform windows and a bundle):\n"
      "signs a copy of the bundle's program with Authenticode (SHA-256) using\n"
      "Debian's osslsigncode, before the bundle is packed, so its digest and file\n"
      "list describe the signed program; the bundle folder is left as it is.\n"
      "--sign-cert is the code-signing certificate (PEM, or its chain),\n"
      "--sign-key its PEM private key, refused inside the core or bundle folder.\n"
      "An encrypted key's password is read from --sign-key-password-file, never\n"
      "from the command line. --sign-timestamp URL adds an RFC 3161 time stamp\n"
      "from that service. A key that is not the certificate's, a wrong password\n"
      "or a missing osslsigncode fails with nothing published.\n"}},
    {"verify",
     {{"trust", "service-url", "answer", "files", "min-sequence", "platform", "after", "program"},
      {"allow-loopback-http"},
      "zarvo-release verify --trust FILE (--service-url URL | --answer FILE --files DIR)\n"
      "      [--min-sequence N] [--after URL] [--program FILE]\n"
      "      [--platform linux|windows] [--allow-loopback-http]",
      "Checks a published release the way a pre-starter does, installing nothing:\n"
      "fetches the answer from URL/api/v1/bootstrap?platform=P (P as for pack; or\n"
      "reads FILE), checks its signature against the trust file and every manifest rule,\n"
      "a sequence not below N (default 0), then fetches each component (a Range\n"
      "request must be answered with 206) or finds it in DIR by its URL's file\n"
      "name, checks size and digest, unpacks the core and the bundle into a\n"
      "temporary folder with the pre-starter's own rules and compares the core\n"
      "with its file list, naming every missing, extra or changed file. Prints one\n"
      "line per check and a summary; exits with 1 when any check fails.\n"
      "--after URL: the live service; the answer's sequence must be higher than\n"
      "the one it gives now, unless the answer is the live one itself (check a\n"
      "release folder with --answer before copying it).\n"
      "--program FILE: a pre-starter program (for either platform, not run);\n"
      "reports the service URL and the key built into it, which must be the\n"
      "trust file's key and, with --service-url, that URL.\n"
      "For a Windows release, the bundle's program is checked with osslsigncode\n"
      "verify: 'bundle signature: unsigned', 'signed by SUBJECT' (with '(chain not\n"
      "trusted: WHY)' when its certificate does not lead to a root this machine\n"
      "trusts), or a failure when the signature does not fit the program. Without\n"
      "osslsigncode a note says it was not checked.\n"}},
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

std::optional<std::string> Invocation::optional(const std::string& name) const {
    auto found = options.find(name);
    return found == options.end() ? std::nullopt : std::optional<std::string>(found->second);
}

std::optional<std::int64_t> Invocation::integer(const std::string& name) const {
    auto text = optional(name);
    if (!text) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size()) {
        throw usageError("option --" + name + " needs a whole number, not '" + *text + "'");
    }
    return value;
}

std::string usageText(const std::string& topic) {
    if (auto command = kCommands.find(topic); command != kCommands.end()) {
        return std::string("Usage:\n  ") + command->second.synopsis + "\n\n" + command->second.description +
               "\nExit codes: 0 success, 1 failure, 2 usage mistake.\n";
    }
    std::string text =
        "zarvo-release: the operator's tool for publishing pre-starter releases.\n"
        "\n"
        "Usage:\n";
    for (const char* name : {"keygen", "sign", "pack", "verify"}) {
        text += std::string("  ") + kCommands.at(name).synopsis + "\n";
    }
    text +=
        "  zarvo-release [COMMAND] --help\n"
        "\n"
        "  keygen  makes the signing key (once), keygen --scope content a content key\n"
        "  pack    builds a signed, servable release folder from a core folder,\n"
        "          an interface package and optionally a pre-starter bundle\n"
        "  verify  checks a published release the way a pre-starter does\n"
        "  sign    signs a manifest payload written by another packer\n"
        "\n"
        "Run 'zarvo-release COMMAND --help' for what a command does.\n"
        "Exit codes: 0 success, 1 failure, 2 usage mistake.\n";
    return text;
}

Invocation parseInvocation(const std::vector<std::string>& arguments) {
    Invocation invocation;
    bool help = !arguments.empty() && arguments[0] == "help";
    for (const auto& argument : arguments) {
        help = help || argument == "--help" || argument == "-h";
    }
    if (help) {
        invocation.command = "help";
        if (arguments.size() > 1 && kCommands.count(arguments[1]) != 0 && arguments[0] == "help") {
            invocation.helpTopic = arguments[1];
        } else if (!arguments.empty() && kCommands.count(arguments[0]) != 0) {
            invocation.helpTopic = arguments[0];
        }
        return invocation;
    }
    if (arguments.empty()) {
        throw usageError("no command given");
    }
    invocation.command = arguments[0];
    auto spec = kCommands.find(invocation.command);
    if (spec == kCommands.end()) {
        throw usageError("unknown command '" + invocation.command + "'");
    }
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.rfind("--", 0) != 0 || argument.size() == 2) {
            throw usageError("unexpected argument '" + argument + "'");
        }
        std::string name = argument.substr(2);
        std::string value;
        const auto equals = name.find('=');
        const std::string bare = equals == std::string::npos ? name : name.substr(0, equals);
        if (spec->second.flags.count(bare) != 0) {
            if (equals != std::string::npos) {
                throw usageError("option --" + bare + " takes no value");
            }
            value = "true";
        } else if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else {
            if (spec->second.values.count(name) != 0 && i + 1 >= arguments.size()) {
                throw usageError("option --" + name + " needs a value");
            }
            if (i + 1 < arguments.size()) {
                value = arguments[++i];
            }
        }
        name = bare;
        if (spec->second.values.count(name) == 0 && spec->second.flags.count(name) == 0) {
            throw usageError("unknown option --" + name + " for '" + invocation.command + "'");
        }
        if (value.empty()) {
            throw usageError("option --" + name + " needs a non-empty value");
        }
        if (!invocation.options.emplace(name, value).second) {
            throw usageError("option --" + name + " given twice");
        }
    }
    for (const char* number : {"sequence", "min-sequence"}) {
        invocation.integer(number);
    }
    return invocation;
}

}  // namespace zarvo::release
