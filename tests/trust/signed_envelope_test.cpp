// Opening signed envelopes made here with fresh key pairs: the one good
// envelope and every way of tampering with it.
#include "trust/signed_envelope.h"

#include <gtest/gtest.h>
#include <json/value.h>
#include <sodium.h>

#include <functional>
#include <vector>

#include "support/signing.h"
#include "trust/hashing.h"
#include "trust/strict_json.h"
#include "support/expect_error.h"

namespace {

using zarvo::openSignedEnvelope;
using zarvo::test::TestKey;

const char* const kWrongKey = "Неподходящий ключ подписи";
const char* const kBadSignature = "Подпись обновления не прошла проверку";

std::string base64(const std::string& bytes) {
    std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.pop_back();
    return text;
}

class SignedEnvelope : public ::testing::Test {
protected:
    TestKey key_;
    Json::Value trust_ = key_.trust();
    std::string payload_ = "{\"sequence\":7,\"type\":\"bootstrap\"}";
    Json::Value envelope_ = key_.sign(payload_);
};

TEST(KeyId, IsTheStartOfTheKeyDigest) {
    EXPECT_EQ(zarvo::keyIdFor(std::string(32, '\0')), "66687aadf862bd77");
}

TEST_F(SignedEnvelope, OpensAValidEnvelope) {
    Json::Value payload = openSignedEnvelope(envelope_, trust_, "code");
    EXPECT_EQ(payload["sequence"].asInt(), 7);
    EXPECT_EQ(payload["type"].asString(), "bootstrap");
    // Members the envelope does not use are ignored.
    envelope_["note"] = "extra";
    trust_["comment"] = 1;
    EXPECT_EQ(openSignedEnvelope(envelope_, trust_, "code"), payload);
}

TEST_F(SignedEnvelope, RefusesTheWrongScopeOrVersionBeforeDecoding) {
    Json::Value content = key_.trust("content");
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, content, "code"), "SIGNATURE_INVALID", kWrongKey);
    EXPECT_EQ(openSignedEnvelope(envelope_, content, "content")["sequence"].asInt(), 7);
    trust_.removeMember("scope");
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, trust_, "code"), "SIGNATURE_INVALID", kWrongKey);

    trust_ = key_.trust();
    for (int version : {0, 2, -1}) {
        envelope_["schemaVersion"] = version;
        EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, trust_, "code"), "SIGNATURE_INVALID", kWrongKey);
    }
    // Broken Base64 would raise another error if it were decoded first.
    envelope_["payload"] = "***";
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, trust_, "code"), "SIGNATURE_INVALID", kWrongKey);
    envelope_.removeMember("schemaVersion");
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, trust_, "code"), "SIGNATURE_INVALID", kWrongKey);
}

TEST_F(SignedEnvelope, KeyIdsAreExactText) {
    std::string upper = envelope_["keyId"].asString();
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    ASSERT_NE(upper, envelope_["keyId"].asString());  // a key id without letters would make this test moot

    Json::Value changed = envelope_;
    changed["keyId"] = upper;
    EXPECT_ZARVO_ERROR(openSignedEnvelope(changed, trust_, "code"), "SIGNATURE_INVALID", kBadSignature);
    Json::Value upperTrust = trust_;
    upperTrust["keyId"] = upper;
    EXPECT_ZARVO_ERROR(openSignedEnvelope(changed, upperTrust, "code"), "SIGNATURE_INVALID", kBadSignature);
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, upperTrust, "code"), "SIGNATURE_INVALID", kBadSignature);

    Json::Value numberTrust = trust_;
    numberTrust["keyId"] = Json::Int64{1234567890123456};
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, numberTrust, "code"), "SIGNATURE_INVALID", kBadSignature);
    Json::Value noIdTrust = trust_;
    noIdTrust.removeMember("keyId");
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, noIdTrust, "code"), "SIGNATURE_INVALID", kBadSignature);
}

TEST_F(SignedEnvelope, RefusesChangedPayloadsAndForeignKeys) {
    std::string changedPayload = payload_;
    changedPayload[12] = '8';  // "sequence":8
    Json::Value changed = envelope_;
    changed["payload"] = base64(changedPayload);
    EXPECT_ZARVO_ERROR(openSignedEnvelope(changed, trust_, "code"), "SIGNATURE_INVALID", kBadSignature);

    TestKey other;
    // Signed by another key but naming this one: the signature check catches it.
    Json::Value forged = other.sign(payload_);
    forged["keyId"] = envelope_["keyId"];
    EXPECT_ZARVO_ERROR(openSignedEnvelope(forged, trust_, "code"), "SIGNATURE_INVALID", kBadSignature);
    // Signed and named by another key: the key id catches it.
    EXPECT_ZARVO_ERROR(openSignedEnvelope(other.sign(payload_), trust_, "code"), "SIGNATURE_INVALID", kBadSignature);
    // The other key's trust object with this key's envelope.
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, other.trust(), "code"), "SIGNATURE_INVALID", kBadSignature);
}

TEST_F(SignedEnvelope, RefusesWrongLengths) {
    std::string signature = zarvo::decodeBase64(envelope_["signature"].asString());
    ASSERT_EQ(signature.size(), 64u);
    Json::Value shortened = envelope_;
    shortened["signature"] = base64(signature.substr(0, 63));
    EXPECT_ZARVO_ERROR(openSignedEnvelope(shortened, trust_, "code"), "SIGNATURE_INVALID", kBadSignature);
    shortened["signature"] = base64(signature + "x");
    EXPECT_ZARVO_ERROR(openSignedEnvelope(shortened, trust_, "code"), "SIGNATURE_INVALID", kBadSignature);
    envelope_.removeMember("signature");
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, trust_, "code"), "SIGNATURE_INVALID", kBadSignature);

    envelope_ = key_.sign(payload_);
    std::string publicKey = zarvo::decodeBase64(trust_["publicKey"].asString());
    trust_["publicKey"] = base64(publicKey.substr(0, 31));
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, trust_, "code"), "SIGNATURE_INVALID", kBadSignature);
}

TEST_F(SignedEnvelope, SignedPayloadMustBeStrictJson) {
    for (const char* payload : {"not json", "", "{\"a\":1,\"a\":2}", "{\"a\":1} trailing"}) {
        SCOPED_TRACE(payload);
        EXPECT_ZARVO_ERROR(openSignedEnvelope(key_.sign(std::string(payload)), trust_, "code"), "INVALID_JSON",
                           "Некорректный JSON");
    }
}

TEST_F(SignedEnvelope, MalformedBase64IsALocalError) {
    for (const char* member : {"payload", "signature"}) {
        SCOPED_TRACE(member);
        Json::Value changed = envelope_;
        changed[member] = changed[member].asString().substr(1);
        EXPECT_ZARVO_ERROR(openSignedEnvelope(changed, trust_, "code"), "LOCAL_ERROR",
                           "Некорректная кодировка подписи");
    }
    trust_["publicKey"] = "not base64!";
    EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope_, trust_, "code"), "LOCAL_ERROR", "Некорректная кодировка подписи");
}

TEST_F(SignedEnvelope, WrongMemberTypesFailTheirStep) {
    struct Case {
        std::function<void(Json::Value& envelope, Json::Value& trust)> change;
        const char* code;
        const char* message;
    };
    const Json::Value object(Json::objectValue);
    const std::vector<Case> cases = {
        {[&](Json::Value&, Json::Value& t) { t["scope"] = object; }, "SIGNATURE_INVALID", kWrongKey},
        {[](Json::Value& e, Json::Value&) { e["schemaVersion"] = "1"; }, "SIGNATURE_INVALID", kWrongKey},
        {[](Json::Value& e, Json::Value&) { e["schemaVersion"] = 1.5; }, "SIGNATURE_INVALID", kWrongKey},
        {[](Json::Value& e, Json::Value&) { e["payload"] = 7; }, "LOCAL_ERROR", "Некорректная кодировка подписи"},
        {[&](Json::Value&, Json::Value& t) { t["publicKey"] = object; }, "LOCAL_ERROR",
         "Некорректная кодировка подписи"},
        {[](Json::Value& e, Json::Value&) { e["keyId"] = Json::Value(Json::arrayValue); }, "SIGNATURE_INVALID",
         kBadSignature},
        {[](Json::Value& e, Json::Value&) { e = Json::Value(Json::arrayValue); }, "SIGNATURE_INVALID", kWrongKey},
        {[](Json::Value&, Json::Value& t) { t = "code"; }, "SIGNATURE_INVALID", kWrongKey},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        Json::Value envelope = envelope_;
        Json::Value trust = trust_;
        cases[i].change(envelope, trust);
        EXPECT_ZARVO_ERROR(openSignedEnvelope(envelope, trust, "code"), cases[i].code, cases[i].message);
    }
    // A whole number written as 1.0 is still version 1.
    envelope_["schemaVersion"] = 1.0;
    EXPECT_EQ(openSignedEnvelope(envelope_, trust_, "code")["sequence"].asInt(), 7);
}

}  // namespace
