#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/verdict.hpp"
#include "pq/directory.hpp"
#include "pq/token.hpp"
#include "pq_test_support.hpp"

namespace ostrel_pq {

namespace detail {
// token.cpp's generic envelope reader (nlohmann tree, duplicate keys refused),
// which SignedTokenEnvelope::from_json falls back to off its fast path.
std::expected<SignedTokenEnvelope, ostrel_util::JsonError> envelope_from_json_generic(std::string_view text);
}  // namespace detail

namespace {

using ostrel_core::PermitToken;
using ostrel_util::Uuid;
using testing::bytes_of;
using testing::starts_with;
using testing::text_of;

PermitToken make_token(std::string action = "files.read") {
    return PermitToken::create(Uuid::new_v4(), std::move(action));
}

// Rewrites one key of an envelope's JSON (or removes it with a null value).
Bytes edit_envelope(std::span<const std::uint8_t> sig, const std::string& key, const nlohmann::json* value) {
    auto j = nlohmann::json::parse(text_of(sig));
    if (value == nullptr)
        j.erase(key);
    else
        j[key] = *value;
    return bytes_of(j.dump());
}

class TokenTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kp_ = new OstrelKeyPair(testing::make_keypair()); }
    static void TearDownTestSuite() {
        delete kp_;
        kp_ = nullptr;
    }
    static const OstrelKeyPair& kp() { return *kp_; }
    static std::shared_ptr<PqTokenSigner> signer(bool hybrid) { return PqTokenSigner::from_keypair(kp(), hybrid); }
    static Bytes sign(const PermitToken& t, bool hybrid) {
        auto s = signer(hybrid)->sign(t);
        EXPECT_TRUE(s) << s.error().display();
        return std::move(*s);
    }
    static std::string verify_text(const PqTokenSigner& s, const PermitToken& t, std::span<const std::uint8_t> sig) {
        auto r = s.verify(t, sig);
        return r ? std::string("ok") : r.error().display();
    }

private:
    static OstrelKeyPair* kp_;
};
OstrelKeyPair* TokenTest::kp_ = nullptr;

TEST_F(TokenTest, EnvelopeShapeByMode) {
    const auto t = make_token();
    for (bool hybrid : {false, true}) {
        const Bytes sig = sign(t, hybrid);
        const std::string json = text_of(sig);
        auto j = nlohmann::json::parse(json);
        EXPECT_EQ(j.size(), hybrid ? 4u : 3u);
        EXPECT_TRUE(starts_with(json, R"({"key_id":")" + kp().id() + R"(","algorithm":")" +
                                          (hybrid ? "ml-dsa-65+ed25519" : "ml-dsa-65") + R"(","ml_dsa_signature":[)"));
        EXPECT_EQ(j["ml_dsa_signature"].size(), 3309u);
        if (hybrid) {
            EXPECT_EQ(j["ed25519_signature"].size(), 64u);
        } else {
            EXPECT_FALSE(j.contains("ed25519_signature"));
        }
        auto env = SignedTokenEnvelope::from_json(json);
        ASSERT_TRUE(env);
        EXPECT_EQ(env->to_json(), json);
    }
}

TEST_F(TokenTest, SignAndVerifyInBothModes) {
    const auto t = make_token();
    for (bool hybrid : {false, true}) {
        auto s = signer(hybrid);
        EXPECT_EQ(s->is_hybrid(), hybrid);
        EXPECT_EQ(s->key_id(), kp().id());
        EXPECT_EQ(verify_text(*s, t, sign(t, hybrid)), "ok");
    }
    // Deterministic: the same token gives the same signature bytes.
    EXPECT_EQ(sign(t, true), sign(t, true));
    // Usable through the core interface.
    std::shared_ptr<ostrel_core::TokenSigner> iface = signer(true);
    auto sig = iface->sign(t);
    ASSERT_TRUE(sig);
    EXPECT_TRUE(iface->verify(t, *sig));
}

TEST_F(TokenTest, ExplicitKeyIdIsStamped) {
    auto s = PqTokenSigner::from_keypair(kp(), false, "custom-id");
    auto sig = s->sign(make_token());
    ASSERT_TRUE(sig);
    EXPECT_EQ(nlohmann::json::parse(text_of(*sig))["key_id"], "custom-id");
}

TEST_F(TokenTest, ChangingAnySignedFieldFailsAtMlDsa) {
    const auto original = make_token();
    struct Case {
        const char* name;
        std::function<void(PermitToken&)> edit;
    };
    const std::vector<Case> cases = {
        {"token_id", [](PermitToken& t) { t.token_id = Uuid::new_v4(); }},
        {"evaluation_id", [](PermitToken& t) { t.evaluation_id = Uuid::new_v4(); }},
        {"issued_at", [](PermitToken& t) { t.issued_at = *t.issued_at.checked_add_seconds(1); }},
        {"expires_at", [](PermitToken& t) { t.expires_at = *t.expires_at.checked_add_seconds(-1); }},
        {"action_name", [](PermitToken& t) { t.action_name += "x"; }},
    };
    for (bool hybrid : {false, true}) {
        const Bytes sig = sign(original, hybrid);
        for (const auto& c : cases) {
            auto t = original;
            c.edit(t);
            const auto text = verify_text(*signer(hybrid), t, sig);
            EXPECT_TRUE(starts_with(text, "serialization error: signature verification failed: ML-DSA-65: "))
                << c.name << ": " << text;
        }
    }
    // Sub-second parts are not signed: a token rebuilt in whole seconds verifies.
    auto whole = original;
    whole.issued_at = original.issued_at.floor_seconds();
    whole.expires_at = original.expires_at.floor_seconds();
    EXPECT_EQ(verify_text(*signer(true), whole, sign(original, true)), "ok");
}

TEST_F(TokenTest, AlgorithmGateOfTheSigner) {
    const auto t = make_token();
    EXPECT_EQ(verify_text(*signer(true), t, sign(t, false)),
              "serialization error: hybrid verifier rejects non-hybrid algorithm 'ml-dsa-65'");
    EXPECT_EQ(verify_text(*signer(false), t, sign(t, true)),
              "serialization error: PQ-only verifier expected 'ml-dsa-65', got 'ml-dsa-65+ed25519'");
    const nlohmann::json upper = "ML-DSA-65";
    EXPECT_EQ(verify_text(*signer(false), t, edit_envelope(sign(t, false), "algorithm", &upper)),
              "serialization error: PQ-only verifier expected 'ml-dsa-65', got 'ML-DSA-65'");
    EXPECT_EQ(verify_text(*signer(true), t, edit_envelope(sign(t, true), "algorithm", &upper)),
              "serialization error: hybrid verifier rejects non-hybrid algorithm 'ML-DSA-65'");
}

TEST_F(TokenTest, SignerVerifyIgnoresTheEnvelopeKeyId) {
    const auto t = make_token();
    const nlohmann::json other = "ostrel-key-somebody-else";
    EXPECT_EQ(verify_text(*signer(true), t, edit_envelope(sign(t, true), "key_id", &other)), "ok");
}

TEST_F(TokenTest, SignerVerifyErrorTexts) {
    const auto t = make_token();
    const Bytes hybrid_sig = sign(t, true);
    const nlohmann::json null_value = nullptr;
    const nlohmann::json short_ml = std::vector<int>(3308, 0);
    const nlohmann::json short_ed = std::vector<int>(63, 0);
    const nlohmann::json zero_ed = std::vector<int>(64, 0);
    struct Case {
        const char* name;
        Bytes sig;
        std::string expected;  // exact, or a prefix when it ends in ": "
    };
    const std::vector<Case> cases = {
        {"not json", bytes_of("not json"), "serialization error: token envelope parse: "},
        {"missing ed", edit_envelope(hybrid_sig, "ed25519_signature", nullptr),
         "serialization error: hybrid envelope missing Ed25519 signature"},
        {"null ed", edit_envelope(hybrid_sig, "ed25519_signature", &null_value),
         "serialization error: hybrid envelope missing Ed25519 signature"},
        {"short ml", edit_envelope(hybrid_sig, "ml_dsa_signature", &short_ml),
         "serialization error: signature verification failed: ML-DSA sig encoding: could not convert slice to array"},
        {"short ed", edit_envelope(hybrid_sig, "ed25519_signature", &short_ed),
         "serialization error: signature verification failed: Ed25519 sig must be 64 bytes, got 63"},
        {"zero ed", edit_envelope(hybrid_sig, "ed25519_signature", &zero_ed),
         "serialization error: signature verification failed: Ed25519: "},
        {"missing key_id", edit_envelope(hybrid_sig, "key_id", nullptr),
         "serialization error: token envelope parse: missing field `key_id`"},
    };
    for (const auto& c : cases) {
        const auto text = verify_text(*signer(true), t, c.sig);
        if (c.expected.ends_with(": "))
            EXPECT_TRUE(starts_with(text, c.expected)) << c.name << ": " << text;
        else
            EXPECT_EQ(text, c.expected) << c.name;
    }
}

TEST_F(TokenTest, SignerKeyErrors) {
    const auto t = make_token();
    // Seeds are validated only when signing.
    auto bad_seed = PqTokenSigner::pq_only(SecretBytes(31), kp().ml_dsa_verifying_key(), "k");
    auto s = bad_seed->sign(t);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), ostrel_core::OstrelError::Kind::Serialization);
    EXPECT_EQ(s.error().display(), "serialization error: key generation failed: ML-DSA seed must be 32 bytes, got 31");

    auto bad_ed_seed = PqTokenSigner::hybrid(kp().ml_dsa_signing_key(), kp().ml_dsa_verifying_key(), SecretBytes(5),
                                             kp().ed25519_verifying_key(), "k");
    auto s2 = bad_ed_seed->sign(t);
    ASSERT_FALSE(s2);
    EXPECT_EQ(s2.error().display(), "serialization error: signing failed: Ed25519 seed must be 32 bytes, got 5");

    const Bytes sig = sign(t, true);
    Bytes short_vk = kp().ml_dsa_verifying_key();
    short_vk.pop_back();
    auto bad_vk = PqTokenSigner::hybrid(kp().ml_dsa_signing_key(), short_vk, kp().ed25519_signing_key(),
                                        kp().ed25519_verifying_key(), "k");
    EXPECT_EQ(verify_text(*bad_vk, t, sig),
              "serialization error: key generation failed: invalid ML-DSA VK bytes: could not convert slice to array");

    Bytes short_ed_vk = kp().ed25519_verifying_key();
    short_ed_vk.pop_back();
    auto bad_ed_vk = PqTokenSigner::hybrid(kp().ml_dsa_signing_key(), kp().ml_dsa_verifying_key(),
                                           kp().ed25519_signing_key(), short_ed_vk, "k");
    EXPECT_EQ(verify_text(*bad_ed_vk, t, sig),
              "serialization error: signature verification failed: Ed25519 VK must be 32 bytes, got 31");

    Bytes not_point(32, 0xff);
    not_point[31] = 0x7f;
    auto np = PqTokenSigner::hybrid(kp().ml_dsa_signing_key(), kp().ml_dsa_verifying_key(), kp().ed25519_signing_key(),
                                    not_point, "k");
    EXPECT_TRUE(starts_with(verify_text(*np, t, sig), "serialization error: signature verification failed: Ed25519 VK: "));
}

// ---- directory verification ----------------------------------------------------

class DirectoryVerifyTest : public TokenTest {
protected:
    std::shared_ptr<InMemoryPublicKeyDirectory> dir_ = std::make_shared<InMemoryPublicKeyDirectory>();
    std::string verify_text(const PermitToken& t, std::span<const std::uint8_t> sig, bool hybrid, bool enforce = true) {
        DirectoryTokenVerifier v(dir_, hybrid);
        auto r = v.verify_with_expiry(t, sig, enforce);
        return r ? std::string("ok") : r.error().display();
    }
};

TEST_F(DirectoryVerifyTest, ResolvesKeysInsertedAfterConstruction) {
    const auto t = make_token();
    DirectoryTokenVerifier v(dir_, true);
    const Bytes sig = sign(t, true);
    auto before = v.verify_with_expiry(t, sig, true);
    ASSERT_FALSE(before);
    EXPECT_EQ(before.error().kind(), DirectoryVerifyError::Kind::Directory);
    EXPECT_EQ(before.error().display(), "public key not found for id '" + kp().id() + "'");
    dir_->insert(kp().public_keys());
    EXPECT_TRUE(v.verify_with_expiry(t, sig, true));
    EXPECT_EQ(verify_text(t, sign(t, false), false), "ok");
}

TEST_F(DirectoryVerifyTest, ErrorTexts) {
    dir_->insert(kp().public_keys());
    const auto t = make_token();
    const Bytes hybrid_sig = sign(t, true);
    const Bytes pq_sig = sign(t, false);
    const nlohmann::json other_id = "ostrel-key-unknown";
    const nlohmann::json zero_ed = std::vector<int>(64, 0);
    auto tampered = t;
    tampered.action_name = "files.delete";

    struct Case {
        const char* name;
        PermitToken token;
        Bytes sig;
        bool hybrid;
        std::string expected;  // exact, or a prefix when ending in ": "
    };
    const std::vector<Case> cases = {
        {"not json", t, bytes_of("{"), true, "token envelope parse: "},
        {"pq to hybrid", t, pq_sig, true, "algorithm mismatch: hybrid verifier rejects non-hybrid algorithm 'ml-dsa-65'"},
        {"hybrid to pq", t, hybrid_sig, false,
         "algorithm mismatch: PQ-only verifier expected 'ml-dsa-65', got 'ml-dsa-65+ed25519'"},
        {"unknown key id", t, edit_envelope(hybrid_sig, "key_id", &other_id), true,
         "public key not found for id 'ostrel-key-unknown'"},
        {"tampered token", tampered, hybrid_sig, true,
         "signature verification failed: ML-DSA-65: signature verification failed: ML-DSA-65: "},
        {"missing ed", t, edit_envelope(hybrid_sig, "ed25519_signature", nullptr), true,
         "signature verification failed: hybrid envelope missing Ed25519 signature"},
        {"zero ed", t, edit_envelope(hybrid_sig, "ed25519_signature", &zero_ed), true,
         "signature verification failed: Ed25519: signature verification failed: Ed25519: "},
    };
    for (const auto& c : cases) {
        const auto text = verify_text(c.token, c.sig, c.hybrid);
        if (c.expected.ends_with(": "))
            EXPECT_TRUE(starts_with(text, c.expected)) << c.name << ": " << text;
        else
            EXPECT_EQ(text, c.expected) << c.name;
    }
}

TEST_F(DirectoryVerifyTest, BundleKeyErrorsAreSignatureInvalid) {
    auto bundle = kp().public_keys();
    bundle.ml_dsa_verifying_key.resize(100);
    dir_->insert(bundle);
    const auto t = make_token();
    EXPECT_EQ(verify_text(t, sign(t, true), true),
              "signature verification failed: ML-DSA-65: key generation failed: invalid ML-DSA VK bytes: could not "
              "convert slice to array");
    bundle = kp().public_keys();
    bundle.ed25519_verifying_key.clear();
    dir_->insert(bundle);
    EXPECT_EQ(verify_text(t, sign(t, true), true),
              "signature verification failed: Ed25519: signature verification failed: Ed25519 VK must be 32 bytes, got 0");
    // A PQ-only verifier never looks at the Ed25519 key.
    EXPECT_EQ(verify_text(t, sign(t, false), false), "ok");
}

TEST_F(DirectoryVerifyTest, ExpiryIsEnforcedOnlyWhenAsked) {
    auto bundle = kp().public_keys();
    bundle.expires_at = ostrel_util::now().checked_add_seconds(-1);
    dir_->insert(bundle);
    const auto t = make_token();
    const Bytes sig = sign(t, true);
    DirectoryTokenVerifier v(dir_, true);
    auto r = v.verify_with_expiry(t, sig, true);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), DirectoryVerifyError::Kind::BundleExpired);
    EXPECT_EQ(r.error().display(),
              "keypair expired: bundle '" + kp().id() + "' expired at " + bundle.expires_at->to_display());
    EXPECT_TRUE(v.verify_with_expiry(t, sig, false));

    // Expiry in the future, or none at all: accepted.
    bundle.expires_at = ostrel_util::now().checked_add_seconds(60);
    dir_->insert(bundle);
    EXPECT_TRUE(v.verify_with_expiry(t, sig, true));
    bundle.expires_at.reset();
    dir_->insert(bundle);
    EXPECT_TRUE(v.verify_with_expiry(t, sig, true));
}

TEST(DirectoryVerifyError, DisplayOfExpiry) {
    const auto e = DirectoryVerifyError::bundle_expired("kid", *Timestamp::from_unix(1735787045, 500000000));
    EXPECT_EQ(e.display(), "keypair expired: bundle 'kid' expired at 2025-01-02 03:04:05.500 UTC");
    EXPECT_EQ(DirectoryVerifyError::envelope_parse("m").display(), "token envelope parse: m");
    EXPECT_EQ(DirectoryVerifyError::algorithm_mismatch("m").display(), "algorithm mismatch: m");
    EXPECT_EQ(DirectoryVerifyError::signature_invalid("m").display(), "signature verification failed: m");
    EXPECT_EQ(DirectoryVerifyError::directory(KeyDirectoryError::root_signature_invalid()).display(),
              "public key directory: root signature invalid");
}


// ---- envelope reader and writer ------------------------------------------------

// from_json reads the writer's compact shape without building a JSON tree and
// hands everything else to the generic reader; for any text both must give
// the same envelope or the same error text.
TEST(EnvelopeJson, FastPathAgreesWithTheGenericReader) {
    const std::string kid = R"("key_id":"ostrel-key-1")";
    const std::string alg = R"("algorithm":"ml-dsa-65+ed25519")";
    const std::string ml = R"("ml_dsa_signature":[0,1,9,10,99,100,255])";
    const std::string ed = R"("ed25519_signature":[7,8])";
    const auto obj = [](std::initializer_list<std::string> fields) {
        std::string out = "{";
        for (const auto& f : fields) out += (out.size() > 1 ? "," : "") + f;
        return out + "}";
    };
    struct Case {
        const char* name;
        std::string text;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"writer, hybrid", obj({kid, alg, ml, ed}), true},
        {"writer, pq only", obj({kid, R"("algorithm":"ml-dsa-65")", ml}), true},
        {"empty arrays", obj({kid, alg, R"("ml_dsa_signature":[])", R"("ed25519_signature":[])"}), true},
        {"empty strings", obj({R"("key_id":"")", R"("algorithm":"")", ml}), true},
        {"whitespace", " {\n\t\"key_id\" : \"k\" ,\"algorithm\":\"a\", \"ml_dsa_signature\" : [ 1 , 2 ] } \r\n", true},
        {"reordered", obj({alg, kid, ed, ml}), true},
        {"ed first", obj({ed, kid, alg, ml}), true},
        {"unknown key", obj({kid, alg, ml, ed, R"("extra":{"x":[1.5,"y"]})"}), true},
        {"unknown key inside", obj({kid, R"("extra":1)", alg, ml}), true},
        {"ed null", obj({kid, alg, ml, R"("ed25519_signature":null)"}), true},
        {"escaped key id", obj({R"("key_id":"a\"b\u00e9")", alg, ml}), true},
        {"escaped key name", obj({R"("key\u005fid":"k")", alg, ml}), true},
        {"utf-8 key id", obj({"\"key_id\":\"k\xc3\xa9y\"", alg, ml}), true},
        {"control char in key id", obj({"\"key_id\":\"k\x01\"", alg, ml}), false},
        {"duplicate key_id", obj({kid, kid, alg, ml}), false},
        {"duplicate ed", obj({kid, alg, ml, ed, ed}), false},
        {"duplicate inside unknown", obj({kid, alg, ml, R"("extra":{"a":1,"a":2})"}), false},
        {"256", obj({kid, alg, R"("ml_dsa_signature":[1,256])"}), false},
        {"1000", obj({kid, alg, R"("ml_dsa_signature":[1000])"}), false},
        {"huge", obj({kid, alg, R"("ml_dsa_signature":[18446744073709551616])"}), false},
        {"negative", obj({kid, alg, R"("ml_dsa_signature":[-1])"}), false},
        {"leading zero", obj({kid, alg, R"("ml_dsa_signature":[007])"}), false},
        {"fraction", obj({kid, alg, R"("ml_dsa_signature":[1.0])"}), false},
        {"exponent", obj({kid, alg, R"("ml_dsa_signature":[1e2])"}), false},
        {"ed out of range", obj({kid, alg, ml, R"("ed25519_signature":[300])"}), false},
        {"trailing comma in array", obj({kid, alg, R"("ml_dsa_signature":[1,])"}), false},
        {"trailing comma in object", "{" + kid + "," + alg + "," + ml + ",}", false},
        {"truncated", obj({kid, alg, ml, ed}).substr(0, 60), false},
        {"truncated after key", "{" + kid + "," + alg + ",\"ml_dsa_signature\":", false},
        {"unterminated string", R"({"key_id":"k)", false},
        {"trailing text", obj({kid, alg, ml}) + " x", false},
        {"two objects", obj({kid, alg, ml}) + obj({kid, alg, ml}), false},
        {"missing key_id", obj({alg, ml, ed}), false},
        {"missing algorithm", obj({kid, ml, ed}), false},
        {"missing ml", obj({kid, alg, ed}), false},
        {"empty object", "{}", false},
        {"key_id number", obj({R"("key_id":5)", alg, ml}), false},
        {"key_id null", obj({R"("key_id":null)", alg, ml}), false},
        {"algorithm array", obj({kid, R"("algorithm":["a"])", ml}), false},
        {"ml as string", obj({kid, alg, R"("ml_dsa_signature":"AQID")"}), false},
        {"ml element string", obj({kid, alg, R"("ml_dsa_signature":[1,"2"])"}), false},
        {"ml element bool", obj({kid, alg, R"("ml_dsa_signature":[true])"}), false},
        {"ed as object", obj({kid, alg, ml, R"("ed25519_signature":{})"}), false},
        {"array", "[1,2,3]", false},
        {"string", R"("envelope")", false},
        {"empty text", "", false},
        {"not json", "not json", false},
    };
    for (const Case& c : cases) {
        const auto fast = SignedTokenEnvelope::from_json(c.text);
        const auto generic = detail::envelope_from_json_generic(c.text);
        ASSERT_EQ(fast.has_value(), c.accepted) << c.name << ": " << (fast ? "" : fast.error().message);
        ASSERT_EQ(generic.has_value(), c.accepted) << c.name;
        if (fast) {
            EXPECT_EQ(*fast, *generic) << c.name;
        } else {
            EXPECT_FALSE(fast.error().message.empty()) << c.name;
            EXPECT_EQ(fast.error().message, generic.error().message) << c.name;
        }
    }
}

TEST(EnvelopeJson, FastPathReadsTheWritersValues) {
    const SignedTokenEnvelope e{"ostrel-key-9", "ml-dsa-65+ed25519", {0, 1, 9, 10, 99, 100, 199, 200, 255}, Bytes{255, 0}};
    const auto r = SignedTokenEnvelope::from_json(e.to_json());
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(*r, e);
    // An empty Ed25519 signature is present-but-empty, not absent.
    const SignedTokenEnvelope empty_ed{"k", "a", {}, Bytes{}};
    const auto r2 = SignedTokenEnvelope::from_json(empty_ed.to_json());
    ASSERT_TRUE(r2) << r2.error().message;
    ASSERT_TRUE(r2->ed25519_signature.has_value());
    EXPECT_TRUE(r2->ed25519_signature->empty());
}

TEST(EnvelopeJson, ToJsonWritesWhatTheGenericWriterWrites) {
    Bytes every_byte(256);
    for (std::size_t i = 0; i < every_byte.size(); ++i) every_byte[i] = static_cast<std::uint8_t>(i);
    const std::vector<SignedTokenEnvelope> envelopes = {
        {"ostrel-key-1", "ml-dsa-65", every_byte, std::nullopt},
        {"ostrel-key-1", "ml-dsa-65+ed25519", every_byte, Bytes{0, 255, 10}},
        {"", "", {}, Bytes{}},
        {"quote\" back\\ \n \x01 \xc3\xa9", "alg\t", {42}, std::nullopt},
    };
    for (const SignedTokenEnvelope& e : envelopes) {
        ostrel_util::JsonWriter w;
        w.begin_object();
        w.field("key_id", e.key_id);
        w.field("algorithm", e.algorithm);
        w.key("ml_dsa_signature").bytes(e.ml_dsa_signature);
        if (e.ed25519_signature) w.key("ed25519_signature").bytes(*e.ed25519_signature);
        w.end_object();
        EXPECT_EQ(e.to_json(), w.str()) << e.key_id;
        const auto back = SignedTokenEnvelope::from_json(e.to_json());
        ASSERT_TRUE(back) << back.error().message;
        EXPECT_EQ(*back, e);
    }
}

TEST_F(TokenTest, SignerOutputRoundTripsThroughBothReaders) {
    const auto t = make_token();
    for (bool hybrid : {false, true}) {
        const Bytes sig = sign(t, hybrid);
        const std::string json = text_of(sig);
        const auto fast = SignedTokenEnvelope::from_json(json);
        const auto generic = detail::envelope_from_json_generic(json);
        ASSERT_TRUE(fast) << fast.error().message;
        ASSERT_TRUE(generic) << generic.error().message;
        EXPECT_EQ(*fast, *generic);
        EXPECT_EQ(fast->key_id, kp().id());
        EXPECT_EQ(fast->ed25519_signature.has_value(), hybrid);
        EXPECT_EQ(fast->to_json(), json);
        EXPECT_EQ(verify_text(*signer(hybrid), t, bytes_of(fast->to_json())), "ok");
        // The same envelope re-spaced takes the generic path and still verifies.
        const std::string spaced = nlohmann::json::parse(json).dump(1);
        EXPECT_EQ(SignedTokenEnvelope::from_json(spaced).value(), *fast);
        EXPECT_EQ(verify_text(*signer(hybrid), t, bytes_of(spaced)), "ok");
    }
}

}  // namespace
}  // namespace ostrel_pq
