#include "trust/json_read.h"

namespace zarvo {

const Json::Value& memberOf(const Json::Value& value, std::string_view name) {
    static const Json::Value none;
    if (!value.isObject()) {
        return none;
    }
    const Json::Value* member = value.find(name.data(), name.data() + name.size());
    return member != nullptr ? *member : none;
}

std::optional<std::string> readText(const Json::Value& value) {
    if (value.isNull()) {
        return std::string();
    }
    if (!value.isString()) {
        return std::nullopt;
    }
    return value.asString();
}

std::optional<Json::Int64> readInteger(const Json::Value& value) {
    if (value.isNull()) {
        return 0;
    }
    if (!value.isNumeric() || !value.isInt64()) {
        return std::nullopt;
    }
    return value.asInt64();
}

}  // namespace zarvo
