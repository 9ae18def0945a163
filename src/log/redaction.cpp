// The process-wide redaction entry points: registering secrets with the logger's
// registry and redacting texts with a copy of it.
#include "log/redaction.h"

#include "log/logger_instance.h"

namespace zarvo {

void registerSecret(const std::string& value) {
    Logger::instance().addSecret(value);
}

void registerSecretsFromJson(const Json::Value& document) {
    if (document.isArray()) {
        for (const Json::Value& element : document) {
            registerSecretsFromJson(element);
        }
        return;
    }
    if (!document.isObject()) {
        return;
    }
    for (const std::string& name : document.getMemberNames()) {
        const Json::Value& member = document[name];
        if (isSecretKeyName(name) && member.isString()) {
            registerSecret(member.asString());
        } else if (member.isObject() || member.isArray()) {
            registerSecretsFromJson(member);
        }
    }
}

std::string redactText(const std::string& text) {
    return Logger::instance().registrySnapshot().redact(text);
}

std::string redactUrlForLog(const std::string& url) {
    // Queries and fragments carry signatures and tokens; they never reach the log.
    return redactText(url.substr(0, url.find_first_of("?#")));
}

}  // namespace zarvo
