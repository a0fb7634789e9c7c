// ML-DSA-65 against the known-answer vectors in tests/vectors (key
// generation, deterministic signing, rejected signatures) and through its
// public interface: contexts, randomised signing, tampering, bad lengths.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mldsa65.hpp"

#include "vector_support.hpp"

namespace {

namespace mldsa = ostrel_pq::crypto::mldsa65;
using ostrel_pq::crypto::CryptoError;
using Bytes = std::vector<std::uint8_t>;
using ostrel_pq::crypto::ScopedForcePortable;

using ostrel_test::from_hex;
using ostrel_test::kPortableAndDispatched;

Bytes to_bytes(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }
Bytes ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }

nlohmann::json load_vectors(const std::string& name) { return ostrel_test::load_vector_file(name); }

std::span<const std::uint8_t, 32> seed32(const Bytes& b) { return std::span<const std::uint8_t>(b).first<32>(); }

// Secret keys of the keygen vectors, looked up by seed (hex).
const std::map<std::string, Bytes>& secret_keys_by_seed() {
    static const std::map<std::string, Bytes> keys = [] {
        std::map<std::string, Bytes> m;
        const auto doc = load_vectors("mldsa65_keygen.json");
        for (const auto& c : doc["cases"]) {
            m[c["seed"].get<std::string>()] = from_hex(c["sk"].get<std::string>());
        }
        return m;
    }();
    return keys;
}

// ---------------------------------------------------------------- vectors

TEST(MlDsa65Vectors, KeyGenFromSeedIsByteExact) {
    const auto cases = load_vectors("mldsa65_keygen.json")["cases"];
    ASSERT_EQ(cases.size(), 12u);
    for (const bool portable : kPortableAndDispatched) {
        const ScopedForcePortable path(portable);
        SCOPED_TRACE(portable ? "portable path" : "dispatched path");
        for (const auto& c : cases) {
            const Bytes seed = from_hex(c["seed"]);
            const auto kp = mldsa::keygen_internal(seed32(seed));
            EXPECT_EQ(to_bytes(kp.public_key), from_hex(c["pk"])) << "case " << c["id"];
            EXPECT_EQ(to_bytes(kp.secret_key.span()), from_hex(c["sk"])) << "case " << c["id"];
            EXPECT_EQ(to_bytes(kp.seed.span()), seed) << "case " << c["id"];
        }
    }
}

TEST(MlDsa65Vectors, DeterministicSignatureIsByteExactAndVerifies) {
    const auto cases = load_vectors("mldsa65_sign.json")["cases"];
    ASSERT_EQ(cases.size(), 15u);
    const Bytes empty_ctx;
    for (const bool portable : kPortableAndDispatched) {
        const ScopedForcePortable path(portable);
        SCOPED_TRACE(portable ? "portable path" : "dispatched path");
        for (const auto& c : cases) {
            const Bytes seed = from_hex(c["seed"]);
            const Bytes pk = from_hex(c["pk"]);
            const Bytes msg = from_hex(c["msg"]);
            const Bytes expected = from_hex(c["sig"]);
            const auto& sk = secret_keys_by_seed().at(c["seed"].get<std::string>());

            const auto from_sk = mldsa::sign(sk, msg, empty_ctx, mldsa::kDeterministicRnd);
            ASSERT_TRUE(from_sk.has_value()) << from_sk.error().display();
            EXPECT_EQ(to_bytes(*from_sk), expected) << "case " << c["id"] << " (from expanded key)";

            const auto from_seed = mldsa::sign_with_seed(seed, msg, empty_ctx, mldsa::kDeterministicRnd);
            ASSERT_TRUE(from_seed.has_value()) << from_seed.error().display();
            EXPECT_EQ(to_bytes(*from_seed), expected) << "case " << c["id"] << " (from seed)";

            EXPECT_TRUE(mldsa::verify(pk, msg, empty_ctx, expected)) << "case " << c["id"];
            EXPECT_TRUE(mldsa::check_signature_encoding(expected).has_value()) << "case " << c["id"];
        }
    }
}

TEST(MlDsa65Vectors, NegativeSignaturesAreRejected) {
    const auto cases = load_vectors("mldsa65_verify_negative.json")["cases"];
    ASSERT_EQ(cases.size(), 32u);
    const Bytes empty_ctx;
    for (const bool portable : kPortableAndDispatched) {
        const ScopedForcePortable path(portable);
        SCOPED_TRACE(portable ? "portable path" : "dispatched path");
        for (const auto& c : cases) {
            ASSERT_FALSE(c["expect"].get<bool>());
            const Bytes pk = from_hex(c["pk"]);
            const Bytes msg = from_hex(c["msg"]);
            const Bytes sig = from_hex(c["sig"]);
            const std::string why = c["why"];
            EXPECT_FALSE(mldsa::verify(pk, msg, empty_ctx, sig)) << "case " << c["id"] << ": " << why;

            const auto vk = mldsa::VerifyingKey::from_bytes(pk);
            ASSERT_TRUE(vk.has_value());
            const auto detailed = vk->verify(msg, empty_ctx, sig);
            ASSERT_FALSE(detailed.has_value()) << "case " << c["id"];
            EXPECT_EQ(detailed.error().kind(), CryptoError::Kind::VerificationFailed) << "case " << c["id"];

            // A malformed hint encoding is caught by the encoding check alone,
            // and reported as such; well-formed ones fail at verification.
            const bool malformed = why.starts_with("hint malformed");
            EXPECT_EQ(!mldsa::check_signature_encoding(sig).has_value(), malformed) << "case " << c["id"] << ": " << why;
            EXPECT_EQ(detailed.error().detail(), malformed ? "ML-DSA-65 signature encoding is malformed"
                                                           : "ML-DSA-65 signature does not verify")
                << "case " << c["id"];
        }
    }
}

// ---------------------------------------------------------- round trips

class MlDsa65RoundTrip : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        auto kp = mldsa::keygen();
        ASSERT_TRUE(kp.has_value()) << kp.error().display();
        keys_ = new mldsa::KeyPair(std::move(*kp));
    }
    static void TearDownTestSuite() {
        delete keys_;
        keys_ = nullptr;
    }
    static const mldsa::KeyPair& keys() { return *keys_; }

    static mldsa::KeyPair* keys_;
};
mldsa::KeyPair* MlDsa65RoundTrip::keys_ = nullptr;

TEST_F(MlDsa65RoundTrip, GeneratedKeyMatchesItsSeed) {
    ASSERT_EQ(keys().seed.size(), 32u);
    const auto again = mldsa::keygen_internal(keys().seed.span().first<32>());
    EXPECT_EQ(again.public_key, keys().public_key);
    EXPECT_EQ(to_bytes(again.secret_key.span()), to_bytes(keys().secret_key.span()));
    const auto other = mldsa::keygen();
    ASSERT_TRUE(other.has_value());
    EXPECT_NE(other->public_key, keys().public_key);
}

TEST_F(MlDsa65RoundTrip, RandomizedSignaturesVerifyUnderTheirContextOnly) {
    const Bytes msg = ascii("transfer 100 credits to account 7");
    const std::vector<Bytes> contexts = {{}, ascii("x"), ascii("ostrel/token/v1"), Bytes(255, 0xA5)};
    for (std::size_t i = 0; i < contexts.size(); ++i) {
        const auto sig = mldsa::sign_randomized(keys().secret_key.span(), msg, contexts[i]);
        ASSERT_TRUE(sig.has_value()) << sig.error().display();
        EXPECT_TRUE(mldsa::verify(keys().public_key, msg, contexts[i], *sig)) << "context " << i;
        for (std::size_t j = 0; j < contexts.size(); ++j) {
            if (j != i) {
                EXPECT_FALSE(mldsa::verify(keys().public_key, msg, contexts[j], *sig)) << i << " vs " << j;
            }
        }
    }
}

TEST_F(MlDsa65RoundTrip, HedgedSignaturesDifferDeterministicOnesRepeat) {
    const Bytes msg = ascii("same message");
    const Bytes ctx = ascii("ctx");
    const auto a = mldsa::sign_randomized(keys().secret_key.span(), msg, ctx);
    const auto b = mldsa::sign_randomized(keys().secret_key.span(), msg, ctx);
    ASSERT_TRUE(a && b);
    EXPECT_NE(*a, *b);
    EXPECT_TRUE(mldsa::verify(keys().public_key, msg, ctx, *a));
    EXPECT_TRUE(mldsa::verify(keys().public_key, msg, ctx, *b));

    const auto d1 = mldsa::sign(keys().secret_key.span(), msg, ctx, mldsa::kDeterministicRnd);
    const auto d2 = mldsa::sign_with_seed(keys().seed.span(), msg, ctx, mldsa::kDeterministicRnd);
    ASSERT_TRUE(d1 && d2);
    EXPECT_EQ(*d1, *d2);

    // A caller-chosen rnd changes the signature and is reproducible.
    std::array<std::uint8_t, 32> rnd{};
    rnd[31] = 1;
    const auto r1 = mldsa::sign(keys().secret_key.span(), msg, ctx, rnd);
    const auto r2 = mldsa::sign_with_seed(keys().seed.span(), msg, ctx, rnd);
    ASSERT_TRUE(r1 && r2);
    EXPECT_EQ(*r1, *r2);
    EXPECT_NE(*r1, *d1);
    EXPECT_TRUE(mldsa::verify(keys().public_key, msg, ctx, *r1));
}

TEST_F(MlDsa65RoundTrip, PureSignIsSignInternalOnFormattedMessage) {
    const Bytes msg = ascii("formatted");
    const Bytes ctx = ascii("abc");
    Bytes message_prime = {0x00, static_cast<std::uint8_t>(ctx.size())};
    message_prime.insert(message_prime.end(), ctx.begin(), ctx.end());
    message_prime.insert(message_prime.end(), msg.begin(), msg.end());

    const auto pure = mldsa::sign(keys().secret_key.span(), msg, ctx, mldsa::kDeterministicRnd);
    const auto internal = mldsa::sign_internal(keys().secret_key.span(), message_prime, mldsa::kDeterministicRnd);
    ASSERT_TRUE(pure && internal);
    EXPECT_EQ(*pure, *internal);
    EXPECT_TRUE(mldsa::verify_internal(keys().public_key, message_prime, *pure));
    EXPECT_FALSE(mldsa::verify_internal(keys().public_key, msg, *pure));
}

TEST_F(MlDsa65RoundTrip, TamperingIsDetected) {
    const Bytes msg = ascii("the original message");
    const Bytes ctx;
    const auto sig = mldsa::sign_randomized(keys().secret_key.span(), msg, ctx);
    ASSERT_TRUE(sig.has_value());

    Bytes other_msg = msg;
    other_msg[3] ^= 0x01;
    EXPECT_FALSE(mldsa::verify(keys().public_key, other_msg, ctx, *sig));
    EXPECT_FALSE(mldsa::verify(keys().public_key, Bytes(msg.begin(), msg.end() - 1), ctx, *sig));

    // One flipped bit in each region of the signature: c~, z, hint indexes,
    // hint counts.
    for (std::size_t pos : {0u, 47u, 48u, 1700u, 3247u, 3248u, 3302u, 3308u}) {
        Bytes bad(sig->begin(), sig->end());
        bad[pos] ^= 0x04;
        EXPECT_FALSE(mldsa::verify(keys().public_key, msg, ctx, bad)) << "byte " << pos;
    }

    Bytes other_pk(keys().public_key.begin(), keys().public_key.end());
    other_pk[100] ^= 0x80;
    EXPECT_FALSE(mldsa::verify(other_pk, msg, ctx, *sig));
}

TEST_F(MlDsa65RoundTrip, LengthAndContextErrors) {
    const Bytes msg = ascii("m");
    const Bytes long_ctx(256, 0x01);
    const auto& sk = keys().secret_key;

    struct SignCase {
        const char* name;
        std::expected<mldsa::Signature, CryptoError> result;
        CryptoError::Kind kind;
        std::string detail;
    };
    const SignCase cases[] = {
        {"context 256", mldsa::sign(sk.span(), msg, long_ctx, mldsa::kDeterministicRnd),
         CryptoError::Kind::InvalidLength, "ML-DSA-65 context string must be at most 255 bytes, got 256"},
        {"seed context 256", mldsa::sign_with_seed(keys().seed.span(), msg, long_ctx, mldsa::kDeterministicRnd),
         CryptoError::Kind::InvalidLength, "ML-DSA-65 context string must be at most 255 bytes, got 256"},
        {"randomized context 256", mldsa::sign_randomized(sk.span(), msg, long_ctx),
         CryptoError::Kind::InvalidLength, "ML-DSA-65 context string must be at most 255 bytes, got 256"},
        {"short sk", mldsa::sign(sk.span().first(4031), msg, {}, mldsa::kDeterministicRnd),
         CryptoError::Kind::InvalidLength, "ML-DSA-65 secret key must be 4032 bytes, got 4031"},
        {"short sk internal", mldsa::sign_internal(sk.span().first(10), msg, mldsa::kDeterministicRnd),
         CryptoError::Kind::InvalidLength, "ML-DSA-65 secret key must be 4032 bytes, got 10"},
        {"long seed", mldsa::sign_with_seed(Bytes(33, 7), msg, {}, mldsa::kDeterministicRnd),
         CryptoError::Kind::InvalidLength, "ML-DSA-65 seed must be 32 bytes, got 33"},
    };
    for (const bool portable : kPortableAndDispatched) {
        const ScopedForcePortable path(portable);
        SCOPED_TRACE(portable ? "portable path" : "dispatched path");
        for (const auto& c : cases) {
            ASSERT_FALSE(c.result.has_value()) << c.name;
            EXPECT_EQ(c.result.error().kind(), c.kind) << c.name;
            EXPECT_EQ(c.result.error().detail(), c.detail) << c.name;
        }
    }

    const auto sig = mldsa::sign(sk.span(), msg, {}, mldsa::kDeterministicRnd);
    ASSERT_TRUE(sig.has_value());
    // Verification with a context of 256 bytes, a signature of the wrong
    // length or a public key of the wrong length fails.
    EXPECT_FALSE(mldsa::verify(keys().public_key, msg, long_ctx, *sig));
    const Bytes sig_long = [&] {
        Bytes b(sig->begin(), sig->end());
        b.push_back(0);
        return b;
    }();
    EXPECT_FALSE(mldsa::verify(keys().public_key, msg, {}, sig_long));
    EXPECT_FALSE(mldsa::verify(keys().public_key, msg, {}, std::span(*sig).first(3308)));
    EXPECT_FALSE(mldsa::verify(std::span(keys().public_key).first(1951), msg, {}, *sig));

    const auto vk = mldsa::VerifyingKey::from_bytes(keys().public_key);
    ASSERT_TRUE(vk.has_value());
    const auto ctx_err = vk->verify(msg, long_ctx, *sig);
    ASSERT_FALSE(ctx_err.has_value());
    EXPECT_EQ(ctx_err.error().kind(), CryptoError::Kind::InvalidLength);
    const auto len_err = vk->verify(msg, {}, std::span(*sig).first(3308));
    ASSERT_FALSE(len_err.has_value());
    EXPECT_EQ(len_err.error().display(), "invalid length: ML-DSA-65 signature must be 3309 bytes, got 3308");
    const auto pk_err = mldsa::VerifyingKey::from_bytes(std::span(keys().public_key).first(1951));
    ASSERT_FALSE(pk_err.has_value());
    EXPECT_EQ(pk_err.error().detail(), "ML-DSA-65 public key must be 1952 bytes, got 1951");
}

TEST_F(MlDsa65RoundTrip, EmptyAndLongMessages) {
    const Bytes ctx = ascii("c");
    for (std::size_t len : {0u, 1u, 135u, 136u, 137u, 100000u}) {
        Bytes msg(len);
        for (std::size_t i = 0; i < len; ++i) msg[i] = static_cast<std::uint8_t>(i * 131 + 7);
        const auto sig = mldsa::sign_randomized(keys().secret_key.span(), msg, ctx);
        ASSERT_TRUE(sig.has_value());
        EXPECT_TRUE(mldsa::verify(keys().public_key, msg, ctx, *sig)) << len;
    }
}

// A secret key whose s1 holds a 4-bit field above 8 (coefficient below -4)
// is refused rather than signed with.
TEST_F(MlDsa65RoundTrip, SecretKeyWithOutOfRangeCoefficientIsRefused) {
    for (std::size_t offset : {128u, 128u + 11u * 128u - 1u}) {  // first s1 byte, last s2 byte
        Bytes sk(keys().secret_key.begin(), keys().secret_key.end());
        sk[offset] = static_cast<std::uint8_t>((sk[offset] & 0xF0) | 0x0C);  // field 12 -> coefficient -8
        const auto sig = mldsa::sign(sk, ascii("m"), {}, mldsa::kDeterministicRnd);
        ASSERT_FALSE(sig.has_value()) << offset;
        EXPECT_EQ(sig.error().kind(), CryptoError::Kind::InvalidKey) << offset;
    }
    // The extremes -4 and 4 (fields 8 and 0) are in range.
    Bytes sk(keys().secret_key.begin(), keys().secret_key.end());
    sk[128] = 0x08;
    EXPECT_TRUE(mldsa::sign(sk, ascii("m"), {}, mldsa::kDeterministicRnd).has_value());
}

}  // namespace
