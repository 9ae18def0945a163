// What the release tool reads from a program's bytes: the recorded version,
// service URL and key, and the debug sections, from real ELF programs made
// with objcopy and from PE headers.
#include "program_facts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "build_config.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace zarvo::test {
namespace {

namespace fs = std::filesystem;
using release::debugSectionNames;
using release::recordedServiceUrl;
using release::recordedTrustKey;
using release::recordedVersion;

void put(std::string& bytes, std::size_t offset, std::uint64_t value, unsigned width) {
    if (bytes.size() < offset + width) {
        bytes.resize(offset + width, '\0');
    }
    for (unsigned i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// A PE image with these section names; a name longer than eight bytes goes to
// the string table behind the (empty) symbol table, as GCC writes it.
std::string peWith(const std::vector<std::string>& names) {
    std::string pe = "MZ";
    const std::size_t header = 0x80;
    put(pe, 0x3C, header, 4);
    put(pe, header, 0x00004550, 4);
    put(pe, header + 6, names.size(), 2);
    put(pe, header + 20, 0xF0, 2);  // optional header size
    const std::size_t table = header + 24 + 0xF0;
    const std::size_t strings = table + 40 * names.size();
    put(pe, header + 12, strings, 4);  // symbol table: no symbols, strings right behind
    std::string stringTable(4, '\0');
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string field = names[i];
        if (field.size() > 8) {
            field = "/" + std::to_string(stringTable.size());
            stringTable += names[i] + '\0';
        }
        put(pe, table + 40 * i + 39, 0, 1);
        pe.replace(table + 40 * i, field.size(), field);
    }
    put(stringTable, 0, stringTable.size(), 4);
    pe.resize(strings);
    return pe + stringTable;
}

TEST(ProgramFacts, DebugSectionsOfElfAndPePrograms) {
    TempDir dir;
    const fs::path stripped = dir / "stripped";
    const fs::path debug = dir / "debug";
    writeFile(dir / "payload", "debug information");
    ASSERT_EQ(runChild("/usr/bin/objcopy", {"--strip-debug", launcherPath().string(), stripped.string()}).exitCode, 0);
    ASSERT_EQ(runChild("/usr/bin/objcopy", {"--add-section", ".debug_line=" + (dir / "payload").string(),
                                            "--add-section", ".zdebug_info=" + (dir / "payload").string(),
                                            stripped.string(), debug.string()})
                  .exitCode,
              0);
    const std::string elf = readFile(stripped);
    const struct {
        const char* title;
        std::string bytes;
        std::vector<std::string> expected;
    } cases[] = {
        {"stripped ELF", elf, {}},
        {"ELF with debug sections", readFile(debug), {".zdebug_info", ".debug_line"}},  // objcopy's order
        {"PE with long and short debug names",
         peWith({".text", ".debug_info", ".debug$S", ".rdata", ".debug_line"}),
         {".debug_info", ".debug$S", ".debug_line"}},
        {"PE without", peWith({".text", ".data", ".rsrc"}), {}},
        {"truncated ELF", elf.substr(0, 0x30), {}},
        {"truncated PE", peWith({".debug_info"}).substr(0, 0x100), {}},
        {"neither", "#!/bin/sh\necho\n", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(debugSectionNames(c.bytes), c.expected) << c.title;
    }
}

TEST(ProgramFacts, RecordedVersion) {
    const std::string prefix = "zarvo-bootstrap-version:";
    const struct {
        std::string bytes;
        std::optional<std::string> expected;
    } cases[] = {
        {"\x7f" "ELF..." + prefix + "1.2.3" + '\0' + "more", "1.2.3"},
        {prefix + "1.2.3" + '\0' + prefix + "1.2.3" + '\0', "1.2.3"},  // a copy in the debug information
        {prefix + '\0' + prefix + "2.0.0-rc1" + '\0', "2.0.0-rc1"},    // the bare prefix does not count
        {prefix + "1.2.3" + '\0' + prefix + "1.2.4" + '\0', std::nullopt},
        {prefix + "1.2 3" + '\0', std::nullopt},
        {prefix + std::string(65, '1') + '\0', std::nullopt},
        {prefix + "1.2.3", std::nullopt},  // no end
        {"no record at all", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(recordedVersion(c.bytes), c.expected) << c.bytes;
    }
    // The pre-starter records what its --version prints.
    const ChildResult version = runChild(launcherPath(), {"--version"});
    EXPECT_EQ("ZarvoLauncher " + recordedVersion(readFile(launcherPath())).value_or("?") + "\n",
              version.standardOutput);
}

TEST(ProgramFacts, RecordedServiceUrlAndKey) {
    const std::string url = "zarvo-bootstrap-service-url:";
    const std::string key = "zarvo-bootstrap-trust-key:";
    const std::string base64 = "3q2+7w8BAgMEBQYHCAkKCwwNDg8QERITFBUWFxgZGhs=";
    const std::string program = "\x7f" "ELF" + url + '\0' + url + "https://updates.example.org/a?b=1" + '\0' +
                                key + base64 + '\0' + key + "UNCONFIGURED x" + '\0';
    EXPECT_EQ(recordedServiceUrl(program), "https://updates.example.org/a?b=1");
    EXPECT_EQ(recordedTrustKey(program), base64);
    EXPECT_EQ(recordedServiceUrl(url + "https://a.example " + '\0'), std::nullopt);  // a blank is no URL
    EXPECT_EQ(recordedTrustKey(key + "a" + '\0' + key + "b" + '\0'), std::nullopt);
    EXPECT_EQ(recordedTrustKey(key + std::string(65, 'A') + '\0'), std::nullopt);
    // The built program records what it was configured with: the URL its
    // --help names as the default, and the key it trusts.
    const std::string launcher = readFile(launcherPath());
    EXPECT_EQ(recordedServiceUrl(launcher), build::kDefaultServiceUrl);
    EXPECT_EQ(recordedTrustKey(launcher), build::kTrustKey);
    const ChildResult help = runChild(launcherPath(), {"--help"});
    EXPECT_NE(help.standardOutput.find("(по умолчанию " + recordedServiceUrl(launcher).value_or("?") + ")"),
              std::string::npos)
        << help.standardOutput;
}

}  // namespace
}  // namespace zarvo::test
