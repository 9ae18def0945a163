// Strict JSON reading and reproducible compact writing.
#include "trust/strict_json.h"

#include <gtest/gtest.h>

#include "support/expect_error.h"

namespace {

using zarvo::parseStrictJson;
using zarvo::writeCompactJson;

TEST(StrictJson, RefusesWhatIsNotStrictJson) {
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    const std::string deeper = std::string(200000, '[');
    for (const std::string& text : std::vector<std::string>{
             "", " ", "\n", "{\"a\":1,\"a\":2}", "{\"o\":{\"k\":1,\"k\":1}}", "[{\"a\":1,\"a\":1}]", "{\"a\":1}x",
             "{} {}", "1 2", "[1,2", "{\"a\":}", "nul", "'a'", "{a:1}", "NaN", std::string("{}\0", 3), std::string("{}\0{\"a\":1}", 10), deep,
             deeper}) {
        SCOPED_TRACE(text.substr(0, 40));
        EXPECT_ZARVO_ERROR(parseStrictJson(text), "INVALID_JSON", "Некорректный JSON");
    }
}

TEST(StrictJson, AcceptsDocumentsWithBlanksAndComments) {
    EXPECT_EQ(parseStrictJson(" {\"a\": [1, 2]}\n")["a"][1].asInt(), 2);
    EXPECT_EQ(parseStrictJson("/* head */ {\"a\": 1} // tail")["a"].asInt(), 1);
    EXPECT_EQ(parseStrictJson("\"text\"").asString(), "text");
    EXPECT_EQ(parseStrictJson("{\"a\":{\"a\":1}}")["a"]["a"].asInt(), 1);  // the same name at two levels
    const std::string nested = std::string(500, '[') + std::string(500, ']');
    EXPECT_TRUE(parseStrictJson(nested).isArray());
}

TEST(StrictJson, CommentsNeverReachTheWrittenText) {
    // A kept line comment would be written in front of the next member and swallow it.
    const std::string text = "{\n\"b\": 2, // second\n\"a\": 1 /* first */,\n\"c\": [3 // last\n]\n}";
    Json::Value document = parseStrictJson(text);
    std::string written = writeCompactJson(document);
    EXPECT_EQ(written, "{\"a\":1,\"b\":2,\"c\":[3]}");
    EXPECT_EQ(parseStrictJson(written), document);

    Json::Value built(Json::objectValue);
    built["a"] = 1;
    built["a"].setComment(std::string("// stray"), Json::commentAfterOnSameLine);
    built["b"] = 2;
    EXPECT_EQ(writeCompactJson(built), "{\"a\":1,\"b\":2}");
}

TEST(StrictJson, WritesCompactTextInNameOrder) {
    Json::Value value(Json::objectValue);
    value["b"] = "x y";
    value["a"] = Json::Value(Json::arrayValue);
    value["a"].append(1);
    value["a"].append(Json::Value(Json::objectValue));
    value["é"] = true;
    value["B"] = Json::nullValue;
    value["z"] = -1.5;
    std::string written = writeCompactJson(value);
    EXPECT_EQ(written, "{\"B\":null,\"a\":[1,{}],\"b\":\"x y\",\"z\":-1.5,\"é\":true}");
    EXPECT_EQ(writeCompactJson(parseStrictJson(written)), written);
}

TEST(StrictJson, WritesRawUtf8AndEscapesControls) {
    Json::Value value(Json::objectValue);
    value["text"] = "Привет \"мир\"\n\t\\";
    std::string written = writeCompactJson(value);
    EXPECT_EQ(written, "{\"text\":\"Привет \\\"мир\\\"\\n\\t\\\\\"}");
    EXPECT_EQ(parseStrictJson(written)["text"].asString(), value["text"].asString());
    EXPECT_EQ(parseStrictJson("\"\\u041f\"").asString(), "П");
}

}  // namespace
