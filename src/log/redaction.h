// Removal of secrets from every text that leaves the process.
#pragma once

#include <json/value.h>

#include <string>
#include <string_view>

namespace zarvo {

// Adds a value (3 to 4096 bytes) to the registry of secrets blanked out everywhere.
void registerSecret(const std::string& value);
// Registers every string whose member name is a secret key name, at any depth.
void registerSecretsFromJson(const Json::Value& document);
// True for names like "accessToken", "session-token", "PASSWORD".
bool isSecretKeyName(std::string_view name);
// The text with secret-looking values and registered secrets replaced by "[REDACTED]".
std::string redactText(const std::string& text);
// The URL cut before its query or fragment, then redacted.
std::string redactUrlForLog(const std::string& url);

}  // namespace zarvo
