#include <gtest/gtest.h>

#include "pq/sign.hpp"
#include "pq_test_support.hpp"

namespace ostrel_pq {
namespace {

using testing::bytes_of;
using testing::starts_with;
using testing::text_of;

Timestamp ts(std::int64_t s, std::uint32_t ns = 0) { return *Timestamp::from_unix(s, ns); }

class SignTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kp_ = new OstrelKeyPair(testing::make_keypair()); }
    static void TearDownTestSuite() {
        delete kp_;
        kp_ = nullptr;
    }
    static const OstrelKeyPair& kp() { return *kp_; }
    static SignedPayload sign(std::string_view data, bool hybrid) {
        auto p = Signer::from_keypair(kp(), hybrid).sign(bytes_of(data));
        EXPECT_TRUE(p) << p.error().display();
        return std::move(*p);
    }
    static std::expected<void, PqError> verify(const SignedPayload& p, bool hybrid) {
        return Verifier::from_bundle(kp().public_keys(), hybrid).verify(p);
    }
    static std::string verify_text(const SignedPayload& p, bool hybrid) {
        auto r = verify(p, hybrid);
        return r ? std::string("ok") : r.error().display();
    }

private:
    static OstrelKeyPair* kp_;
};
OstrelKeyPair* SignTest::kp_ = nullptr;

TEST(ComposeMessage, IsThePlainConcatenationWithOffsetTime) {
    const std::string nonce = "c0ffee1a-b2c4-4d5e-8f9a-bc1de2f3a4b5";
    EXPECT_EQ(text_of(compose_message(bytes_of("abc"), nonce, ts(1735787045, 500000000))),
              "abc" + nonce + "2025-01-02T03:04:05.500+00:00");
    EXPECT_EQ(text_of(compose_message({}, nonce, ts(1735787045))), nonce + "2025-01-02T03:04:05+00:00");
    EXPECT_EQ(text_of(compose_message(bytes_of("x"), "n", ts(1735787045, 1))), "xn2025-01-02T03:04:05.000000001+00:00");
    EXPECT_EQ(text_of(compose_message(bytes_of("x"), "n", ts(1735787045, 1000))), "xn2025-01-02T03:04:05.000001+00:00");
}

TEST_F(SignTest, BothModesSignAndVerify) {
    for (bool hybrid : {false, true}) {
        const auto before = ostrel_util::now();
        const auto p = sign("payload", hybrid);
        EXPECT_EQ(p.data, bytes_of("payload"));
        EXPECT_EQ(p.ml_dsa_signature.size(), 3309u);
        EXPECT_EQ(p.ed25519_signature.has_value(), hybrid);
        if (hybrid) {
            EXPECT_EQ(p.ed25519_signature->size(), 64u);
        }
        EXPECT_EQ(p.key_id, kp().id());
        EXPECT_EQ(p.nonce.size(), 36u);
        EXPECT_LE(before, p.signed_at);
        EXPECT_EQ(verify_text(p, hybrid), "ok");
    }
}

TEST_F(SignTest, EachSignatureHasAFreshNonce) {
    const auto a = sign("same", true);
    const auto b = sign("same", true);
    EXPECT_NE(a.nonce, b.nonce);
    EXPECT_NE(a.ml_dsa_signature, b.ml_dsa_signature);
}

TEST_F(SignTest, EmptyPayloadSignsAndCarriesEmptyArray) {
    const auto p = sign("", true);
    EXPECT_EQ(verify_text(p, true), "ok");
    EXPECT_TRUE(starts_with(p.to_json(), R"({"data":[],"ml_dsa_signature":[)"));
}

TEST_F(SignTest, TamperingWithSignedFieldsFailsAtMlDsa) {
    const auto original = sign("hello", true);
    struct Case {
        const char* name;
        std::function<void(SignedPayload&)> edit;
    };
    const std::vector<Case> cases = {
        {"data byte", [](SignedPayload& p) { p.data[0] ^= 1; }},
        {"data appended", [](SignedPayload& p) { p.data.push_back('!'); }},
        {"nonce", [](SignedPayload& p) { p.nonce[0] = p.nonce[0] == 'a' ? 'b' : 'a'; }},
        {"signed_at +1ns", [](SignedPayload& p) { p.signed_at = *p.signed_at.checked_add_nanos(1); }},
        {"signed_at -1s", [](SignedPayload& p) { p.signed_at = *p.signed_at.checked_add_seconds(-1); }},
        {"signature byte", [](SignedPayload& p) { p.ml_dsa_signature[100] ^= 0x10; }},
    };
    for (const auto& c : cases) {
        for (bool hybrid : {false, true}) {
            auto p = original;
            c.edit(p);
            const auto text = verify_text(p, hybrid);
            EXPECT_TRUE(starts_with(text, "signature verification failed: ML-DSA")) << c.name << ": " << text;
        }
    }
    // The key id is not part of the message: verification ignores it.
    auto p = original;
    p.key_id = "someone-else";
    EXPECT_EQ(verify_text(p, true), "ok");
}

TEST_F(SignTest, AChangeOfTheSigningTimeIsAnMlDsaFailure) {
    auto p = sign("t", false);
    p.signed_at = *p.signed_at.checked_add_nanos(1);
    auto r = verify(p, false);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, PqErrorKind::VerificationFailed);
    EXPECT_TRUE(starts_with(r.error().display(), "signature verification failed: ML-DSA: ")) << r.error().display();
}

TEST_F(SignTest, DowngradeGuard) {
    // PQ-only payload never satisfies a hybrid verifier.
    EXPECT_EQ(verify_text(sign("x", false), true), "signature verification failed: hybrid mode requires Ed25519 signature");
    // A hybrid payload satisfies a PQ-only verifier.
    EXPECT_EQ(verify_text(sign("x", true), false), "ok");
    // An Ed25519 signature of zeros fails only where it is checked.
    auto p = sign("x", true);
    p.ed25519_signature = Bytes(64, 0);
    EXPECT_TRUE(starts_with(verify_text(p, true), "signature verification failed: Ed25519: ")) << verify_text(p, true);
    EXPECT_EQ(verify_text(p, false), "ok");
}

TEST_F(SignTest, SignatureFormErrors) {
    const auto good = sign("x", true);
    struct Case {
        const char* name;
        std::function<void(SignedPayload&)> edit;
        bool hybrid;
        std::string expected;  // exact text, or a prefix when ending in ": "
    };
    const std::vector<Case> cases = {
        {"ml-dsa 3308", [](SignedPayload& p) { p.ml_dsa_signature.pop_back(); }, false,
         "signature verification failed: invalid ML-DSA signature encoding: could not convert slice to array"},
        {"ml-dsa 3310", [](SignedPayload& p) { p.ml_dsa_signature.push_back(0); }, true,
         "signature verification failed: invalid ML-DSA signature encoding: could not convert slice to array"},
        {"ed25519 63", [](SignedPayload& p) { p.ed25519_signature->pop_back(); }, true,
         "signature verification failed: Ed25519 signature must be 64 bytes, got 63"},
        {"ed25519 empty", [](SignedPayload& p) { p.ed25519_signature = Bytes{}; }, true,
         "signature verification failed: Ed25519 signature must be 64 bytes, got 0"},
    };
    for (const auto& c : cases) {
        auto p = good;
        c.edit(p);
        EXPECT_EQ(verify_text(p, c.hybrid), c.expected) << c.name;
    }
    // 3309 bytes of noise: rejected at decoding or at verification.
    auto noise = good;
    for (std::size_t i = 0; i < noise.ml_dsa_signature.size(); ++i)
        noise.ml_dsa_signature[i] = static_cast<std::uint8_t>(i * 131 + 7);
    const auto text = verify_text(noise, false);
    EXPECT_TRUE(text == "signature verification failed: ML-DSA signature decode failed" ||
                starts_with(text, "signature verification failed: ML-DSA: "))
        << text;
    // A hint section with too many ones is a decoding failure.
    auto bad_hint = good;
    for (std::size_t i = 3309 - 6; i < 3309; ++i) bad_hint.ml_dsa_signature[i] = 0xff;
    EXPECT_EQ(verify_text(bad_hint, false), "signature verification failed: ML-DSA signature decode failed");
}

TEST_F(SignTest, VerifyingKeyErrors) {
    const auto p = sign("x", true);
    auto bundle = kp().public_keys();
    bundle.ml_dsa_verifying_key.pop_back();
    auto r = Verifier::from_bundle(bundle, false).verify(p);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, PqErrorKind::KeyGeneration);
    EXPECT_EQ(r.error().display(), "key generation failed: invalid ML-DSA VK bytes: could not convert slice to array");

    auto short_ed = kp().public_keys();
    short_ed.ed25519_verifying_key.pop_back();
    auto r2 = Verifier::from_bundle(short_ed, true).verify(p);
    ASSERT_FALSE(r2);
    EXPECT_EQ(r2.error().display(), "signature verification failed: Ed25519 verifying key must be 32 bytes, got 31");
    // A PQ-only verifier never looks at the Ed25519 key.
    EXPECT_TRUE(Verifier::from_bundle(short_ed, false).verify(p));

    // y = 2^255 - 1 is not below the field prime: not a curve point.
    auto not_point = kp().public_keys();
    not_point.ed25519_verifying_key = Bytes(32, 0xff);
    not_point.ed25519_verifying_key[31] = 0x7f;
    auto r3 = Verifier::from_bundle(not_point, true).verify(p);
    ASSERT_FALSE(r3);
    EXPECT_TRUE(starts_with(r3.error().display(), "signature verification failed: Ed25519 VK: ")) << r3.error().display();

    // Another party's key: an ML-DSA failure.
    const auto other = testing::make_keypair();
    auto r4 = Verifier::from_bundle(other.public_keys(), true).verify(p);
    ASSERT_FALSE(r4);
    EXPECT_TRUE(starts_with(r4.error().display(), "signature verification failed: ML-DSA: "));
}

TEST_F(SignTest, SeedLengthErrors) {
    auto parts = [](std::size_t ml_len, std::size_t ed_len) {
        return OstrelKeyPair(OstrelKeyPair::Parts{"k", SecretBytes(ml_len), kp().ml_dsa_verifying_key(), SecretBytes(64),
                                                  {}, SecretBytes(ed_len), {}, SecretBytes(32), {}, Timestamp{},
                                                  std::nullopt});
    };
    auto r = Signer::from_keypair(parts(31, 32), true).sign(bytes_of("x"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, PqErrorKind::KeyGeneration);
    EXPECT_EQ(r.error().display(), "key generation failed: ML-DSA seed must be 32 bytes, got 31");

    auto r2 = Signer::from_keypair(parts(32, 0), true).sign(bytes_of("x"));
    ASSERT_FALSE(r2);
    EXPECT_EQ(r2.error().kind, PqErrorKind::Signing);
    EXPECT_EQ(r2.error().display(), "signing failed: Ed25519 seed must be 32 bytes, got 0");
    // PQ-only signing does not need the Ed25519 seed.
    EXPECT_TRUE(Signer::from_keypair(parts(32, 0), false).sign(bytes_of("x")));
}

TEST_F(SignTest, ExpiredKeyPairsStillSign) {
    const auto expired = testing::make_keypair(KeyTtl{-10, 0});
    ASSERT_TRUE(expired.is_expired());
    auto p = Signer::from_keypair(expired, true).sign(bytes_of("x"));
    ASSERT_TRUE(p);
    EXPECT_TRUE(Verifier::from_bundle(expired.public_keys(), true).verify(*p));
}

TEST_F(SignTest, JsonRoundTripThenVerify) {
    for (bool hybrid : {false, true}) {
        const auto p = sign("json me", hybrid);
        const std::string json = p.to_json();
        EXPECT_NE(json.find(hybrid ? "\"ed25519_signature\":[" : "\"ed25519_signature\":null"), std::string::npos);
        auto back = SignedPayload::from_json(json);
        ASSERT_TRUE(back) << back.error().message;
        EXPECT_EQ(*back, p);
        EXPECT_EQ(verify_text(*back, hybrid), "ok");
    }
}

TEST(SignedPayloadJson, FormAndReadingRules) {
    SignedPayload p{bytes_of("ab"), {1, 2}, std::nullopt, "kid", ts(1735787045, 500000000),
                    "c0ffee1a-b2c4-4d5e-8f9a-bc1de2f3a4b5"};
    const std::string json = p.to_json();
    EXPECT_EQ(json, R"({"data":[97,98],"ml_dsa_signature":[1,2],"ed25519_signature":null,"key_id":"kid",)"
                    R"("signed_at":"2025-01-02T03:04:05.500Z","nonce":"c0ffee1a-b2c4-4d5e-8f9a-bc1de2f3a4b5"})");
    // Fraction digits survive the round trip exactly.
    auto back = SignedPayload::from_json(json);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->signed_at, p.signed_at);
    EXPECT_EQ(back->to_json(), json);

    // "ed25519_signature" may be missing; unknown keys are ignored.
    auto missing_ed = SignedPayload::from_json(
        R"({"extra":1,"data":[],"ml_dsa_signature":[],"key_id":"k","signed_at":"2025-01-02T03:04:05Z","nonce":"n"})");
    ASSERT_TRUE(missing_ed) << missing_ed.error().message;
    EXPECT_FALSE(missing_ed->ed25519_signature.has_value());

    struct Case {
        std::string json;
        std::string message;
    };
    const std::vector<Case> cases = {
        {R"({"data":[],"ml_dsa_signature":[],"key_id":"k","signed_at":"2025-01-02T03:04:05Z"})", "missing field `nonce`"},
        {R"({"data":[],"data":[],"ml_dsa_signature":[],"key_id":"k","signed_at":"2025-01-02T03:04:05Z","nonce":"n"})",
         "duplicate field `data`"},
        {R"({"ml_dsa_signature":[],"key_id":"k","signed_at":"2025-01-02T03:04:05Z","nonce":"n"})", "missing field `data`"},
    };
    for (const auto& c : cases) {
        auto r = SignedPayload::from_json(c.json);
        ASSERT_FALSE(r) << c.json;
        EXPECT_EQ(r.error().message, c.message);
    }
}

}  // namespace
}  // namespace ostrel_pq
