// What the release tool reads from a pre-starter program's bytes without
// running it (the program may be built for another system): the version, the
// service URL and the trust key it records, and whether it carries debug
// information that players would download for nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo::release {

// The version a pre-starter records after "zarvo-bootstrap-version:" (a text of
// letters, digits and ".+-~_", at most 64), or nothing when there is none or
// two different ones.
std::optional<std::string> recordedVersion(std::string_view program);
// The built-in service URL after "zarvo-bootstrap-service-url:" (printable
// ASCII without blanks, at most 2048), on the same terms.
std::optional<std::string> recordedServiceUrl(std::string_view program);
// The built-in Base64 trust key after "zarvo-bootstrap-trust-key:" (at most 64;
// "UNCONFIGURED" for a build without one), on the same terms.
std::optional<std::string> recordedTrustKey(std::string_view program);
// Names of the debug sections (".debug…", ".zdebug…") of an ELF or PE program,
// in the order of its section table; empty for a program without any and for
// anything that is not one of the two formats.
std::vector<std::string> debugSectionNames(std::string_view program);

}  // namespace zarvo::release
