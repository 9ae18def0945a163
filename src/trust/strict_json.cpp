// The one strict JSON reader and compact, reproducible writer of the program.
#include "trust/strict_json.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>

#include "trust/error.h"

namespace zarvo {

Json::Value parseStrictJson(std::string_view bytes) {
    Json::CharReaderBuilder builder;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    // Comments stay accepted but are not kept: a kept "//" comment would be
    // written back out and swallow the members after it.
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());

    // The reader takes a NUL byte for the end of the input and would accept
    // anything after it; JSON text never holds a raw NUL.
    if (bytes.find('\0') != std::string_view::npos) {
        throw Error("INVALID_JSON", "Некорректный JSON");
    }
    Json::Value document;
    std::string ignoredErrors;
    bool parsed = false;
    try {
        parsed = reader->parse(bytes.data(), bytes.data() + bytes.size(), &document, &ignoredErrors);
    } catch (const Json::Exception&) {
        // Nesting past the reader's depth limit is thrown, not returned.
        parsed = false;
    }
    if (!parsed) {
        throw Error("INVALID_JSON", "Некорректный JSON");
    }
    return document;
}

std::string writeCompactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    // A value built elsewhere may still carry comments; they never belong in a stored document.
    builder["commentStyle"] = "None";
    return Json::writeString(builder, value);
}

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
