#include "app/update_manifest.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/user_settings.h"
#include "storage/data_layout.h"
#include "support/signing.h"
#include "trust/error.h"
#include "trust/strict_json.h"

namespace zarvo::test {
namespace {

std::string errorCode(const std::function<void()>& action, std::string* message = nullptr) {
    try {
        action();
    } catch (const Error& error) {
        if (message) {
            *message = error.what();
        }
        return error.code();
    }
    return "";
}

class UpdateManifestTest : public ::testing::Test {
protected:
    UpdateManifestTest() { trust = key.trust(); }

    void read(const Json::Value& envelope) {
        readUpdateManifest(envelope, trust, ManifestRules{platform::kPlatformName, allowLoopbackHttp});
    }

    // The check's verdict on the manifest after `change`.
    std::string verdict(const std::function<void(Json::Value&)>& change) {
        Json::Value manifest = compatibleManifest(3);
        change(manifest);
        std::string message;
        std::string code = errorCode([&] { read(key.sign(manifest)); }, &message);
        return code.empty() ? "ok" : code + " " + message;
    }

    TestKey key;
    Json::Value trust;
    bool allowLoopbackHttp = false;
};

TEST_F(UpdateManifestTest, CompatibilityRules) {
    const std::string incompatible = "LOCAL_ERROR Манифест обновления несовместим";
    EXPECT_EQ(verdict([](Json::Value&) {}), "ok");
    EXPECT_EQ(verdict([](Json::Value& m) { m["type"] = "core"; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m.removeMember("type"); }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["schemaVersion"] = 2; }), incompatible);
    const std::string other = std::string(platform::kPlatformName) == "linux" ? "windows" : "linux";
    EXPECT_EQ(verdict([](Json::Value& m) { m["platform"] = "Linux"; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["platform"] = "Windows"; }), incompatible);
    EXPECT_EQ(verdict([&](Json::Value& m) { m["platform"] = other; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["arch"] = "arm64"; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["coreApi"] = 2; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["apiUrl"] = "http://api.example.org/"; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m.removeMember("azuriomUrl"); }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["contentKey"].removeMember("scope"); }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["contentKey"]["scope"] = "code"; }), incompatible);
    // Members the pre-starter does not read are the core's business.
    EXPECT_EQ(verdict([](Json::Value& m) { m["somethingNew"] = true; }), "ok");
    // A value of the wrong type fails its check like a wrong value.
    EXPECT_EQ(verdict([](Json::Value& m) { m["schemaVersion"] = "1"; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["apiUrl"] = 5; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["contentKey"] = Json::Value(Json::arrayValue); }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["sequence"] = "5"; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["sequence"] = 2.5; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["components"] = Json::Value(Json::arrayValue); }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["components"]["ui"] = "ui.rcc"; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["components"]["bootstrap"] = 1; }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["components"]["bootstrap"] = Json::Value(); }), "ok");
    EXPECT_EQ(verdict([](Json::Value& m) { m["components"]["core"] = Json::Value(Json::arrayValue); }), incompatible);
    EXPECT_EQ(verdict([](Json::Value& m) { m["components"] = "core"; }), incompatible);
    // A component not there yet is a release half published: compatible, and
    // refused by the readiness check once the sequence is stored.
    EXPECT_EQ(verdict([](Json::Value& m) { m["components"].removeMember("ui"); }), "ok");
    EXPECT_EQ(verdict([](Json::Value& m) { m["components"].removeMember("core"); }), "ok");
    EXPECT_EQ(verdict([](Json::Value& m) { m["components"]["ui"] = Json::Value(); }), "ok");
    EXPECT_EQ(verdict([](Json::Value& m) { m.removeMember("components"); }), "ok");
    // Payloads the library itself would choke on, as a service could sign them.
    for (const char* payload : {"[1]", "5", R"({"sequence":99999999999999999999})"}) {
        std::string message;
        EXPECT_EQ(errorCode([&] { read(key.sign(std::string(payload))); }, &message),
                  "LOCAL_ERROR");
        EXPECT_EQ(message, "Манифест обновления несовместим");
    }
    Json::Value huge = compatibleManifest(3);
    std::string bytes = writeCompactJson(huge);
    bytes.replace(bytes.find("\"sequence\":3"), 12, "\"sequence\":99999999999999999999");
    std::string message;
    EXPECT_EQ(errorCode([&] { read(key.sign(bytes)); }, &message), "LOCAL_ERROR");
}

TEST_F(UpdateManifestTest, MissingComponentsAreNotReady) {
    const std::string notReady = "LOCAL_ERROR Компоненты приложения ещё не опубликованы";
    auto readiness = [&](const std::function<void(Json::Value&)>& change) {
        Json::Value manifest = compatibleManifest(3);
        change(manifest);
        std::string message;
        std::string code = errorCode(
            [&] {
                checkComponentsPublished(readUpdateManifest(key.sign(manifest), trust,
                                                            ManifestRules{platform::kPlatformName, false}));
            },
            &message);
        return code.empty() ? "ok" : code + " " + message;
    };
    EXPECT_EQ(readiness([](Json::Value&) {}), "ok");
    EXPECT_EQ(readiness([](Json::Value& m) { m["components"].removeMember("ui"); }), notReady);
    EXPECT_EQ(readiness([](Json::Value& m) { m["components"].removeMember("core"); }), notReady);
    EXPECT_EQ(readiness([](Json::Value& m) { m.removeMember("components"); }), notReady);
    EXPECT_EQ(readiness([](Json::Value& m) { m["components"]["ui"]["coreApi"] = 2; }), notReady);
}

TEST_F(UpdateManifestTest, LoopbackApiIsCompatibleOnlyWhenAllowed) {
    auto loopback = [](Json::Value& m) { m["apiUrl"] = "http://127.0.0.1:8080/api"; };
    EXPECT_EQ(verdict(loopback), "LOCAL_ERROR Манифест обновления несовместим");
    allowLoopbackHttp = true;
    EXPECT_EQ(verdict(loopback), "ok");
}

TEST_F(UpdateManifestTest, SignatureProblemsComeFromTheEnvelope) {
    Json::Value envelope = key.sign(compatibleManifest(1));
    TestKey other;
    trust = other.trust();
    EXPECT_EQ(errorCode([&] { read(envelope); }), "SIGNATURE_INVALID");
    trust = key.trust("content");
    EXPECT_EQ(errorCode([&] { read(envelope); }), "SIGNATURE_INVALID");
}

TEST(SlotNames, FollowTheWholeAnswer) {
    TestKey key;
    Json::Value answer = key.sign(compatibleManifest(1));
    std::string slot = slotNameFor(answer);
    EXPECT_EQ(slot.size(), 24u);
    EXPECT_TRUE(isValidSlotName(slot));
    EXPECT_EQ(slotNameFor(answer), slot);
    Json::Value extra = answer;
    extra["unsignedNote"] = "x";  // outside the payload, still a different answer
    EXPECT_NE(slotNameFor(extra), slot);

    EXPECT_TRUE(isValidSlotName("a"));
    EXPECT_TRUE(isValidSlotName("abc-def_123"));
    EXPECT_TRUE(isValidSlotName(std::string(80, 'z')));
    EXPECT_FALSE(isValidSlotName(std::string(81, 'z')));
    EXPECT_FALSE(isValidSlotName(""));
    EXPECT_FALSE(isValidSlotName("Abc"));
    EXPECT_FALSE(isValidSlotName("a.b"));
    EXPECT_FALSE(isValidSlotName("a/b"));
    EXPECT_FALSE(isValidSlotName(".."));
}

}  // namespace
}  // namespace zarvo::test
