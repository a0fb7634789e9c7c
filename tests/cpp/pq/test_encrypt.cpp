// Sealed payloads: round trips in both modes and across modes, the exact key
// derivation, authentication of every field, the order of the opening checks,
// the length errors with their texts, and the JSON form.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "pq/crypto/chacha20poly1305.hpp"
#include "pq/crypto/mlkem768.hpp"
#include "pq/crypto/x25519.hpp"
#include "pq/encrypt.hpp"
#include "pq_test_support.hpp"
#include "util/uuid.hpp"

namespace ostrel_pq {
namespace {

using testing::bytes_of;
using testing::make_keypair;
using testing::starts_with;

// HKDF-SHA256 written out from RFC 5869 with plain HMAC, independent of the
// code under test: PRK = HMAC(salt, IKM); OKM = T(1) = HMAC(PRK, info || 1).
Bytes reference_hkdf(std::span<const std::uint8_t> ikm, std::string_view salt, std::string_view info) {
    unsigned char prk[32];
    unsigned prk_len = 0;
    HMAC(EVP_sha256(), salt.data(), static_cast<int>(salt.size()), ikm.data(), ikm.size(), prk, &prk_len);
    Bytes block(info.begin(), info.end());
    block.push_back(0x01);
    unsigned char okm[32];
    unsigned okm_len = 0;
    HMAC(EVP_sha256(), prk, static_cast<int>(prk_len), block.data(), block.size(), okm, &okm_len);
    return Bytes(okm, okm + okm_len);
}

Bytes to_bytes(const SecretBytes& s) { return Bytes(s.begin(), s.end()); }

class EncryptTest : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        recipient_ = new OstrelKeyPair(make_keypair());
        other_ = new OstrelKeyPair(make_keypair());
    }
    static void TearDownTestSuite() {
        delete recipient_;
        delete other_;
    }

    static const OstrelKeyPair& recipient() { return *recipient_; }
    static const OstrelKeyPair& other() { return *other_; }

    static EncryptedPayload seal(const Encryptor& e, std::span<const std::uint8_t> plaintext) {
        auto p = e.encrypt(plaintext);
        EXPECT_TRUE(p) << p.error().display();
        return p ? std::move(*p) : EncryptedPayload{};
    }
    static std::string open_error(const Decryptor& d, const EncryptedPayload& p) {
        auto r = d.decrypt(p);
        if (r) return "<opened>";
        return r.error().display();
    }

    static inline OstrelKeyPair* recipient_ = nullptr;
    static inline OstrelKeyPair* other_ = nullptr;
};

// ---- round trips -----------------------------------------------------------

struct RoundTripCase {
    const char* name;
    bool hybrid_sender;
    std::size_t size;
};

class EncryptRoundTrip : public EncryptTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(EncryptRoundTrip, OpensToThePlaintextWithTheDocumentedShape) {
    const RoundTripCase& c = GetParam();
    Bytes plaintext(c.size);
    for (std::size_t i = 0; i < plaintext.size(); ++i) plaintext[i] = static_cast<std::uint8_t>(i * 31 + 7);

    const PublicKeyBundle bundle = recipient().public_keys();
    const Encryptor enc = c.hybrid_sender ? Encryptor::from_bundle(bundle) : Encryptor::ml_kem_only(bundle);
    const EncryptedPayload p = seal(enc, plaintext);

    EXPECT_EQ(p.kem_ciphertext.size(), 1088u);
    EXPECT_EQ(p.encrypted_data.size(), c.size + 16);
    EXPECT_EQ(p.nonce.size(), 12u);
    EXPECT_TRUE(p.auth_tag.empty());
    EXPECT_EQ(p.ephemeral_x25519_pk.size(), c.hybrid_sender ? 32u : 0u);
    EXPECT_EQ(p.recipient_key_id, recipient().id());
    auto id = ostrel_util::Uuid::parse(p.payload_id);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->version(), 4u);
    EXPECT_EQ(id->to_string(), p.payload_id);

    // A hybrid decryptor opens both kinds; an ML-KEM-only one opens only
    // ML-KEM-only payloads.
    auto opened = Decryptor::from_keypair(recipient()).decrypt(p);
    ASSERT_TRUE(opened) << opened.error().display();
    EXPECT_EQ(*opened, plaintext);

    auto kem_only = Decryptor::ml_kem_only(recipient()).decrypt(p);
    if (c.hybrid_sender) {
        ASSERT_FALSE(kem_only);
        EXPECT_EQ(kem_only.error().display(),
                  "decryption failed: payload uses hybrid mode but decryptor has no X25519 key");
    } else {
        ASSERT_TRUE(kem_only) << kem_only.error().display();
        EXPECT_EQ(*kem_only, plaintext);
    }

    // Through JSON and back.
    auto reread = EncryptedPayload::from_json(p.to_json());
    ASSERT_TRUE(reread) << reread.error().message;
    EXPECT_EQ(*reread, p);
    auto reopened = Decryptor::from_keypair(recipient()).decrypt(*reread);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(*reopened, plaintext);
}

INSTANTIATE_TEST_SUITE_P(Sizes, EncryptRoundTrip,
                         ::testing::Values(RoundTripCase{"hybrid_empty", true, 0},
                                           RoundTripCase{"hybrid_1", true, 1},
                                           RoundTripCase{"hybrid_1KiB", true, 1024},
                                           RoundTripCase{"hybrid_64KiB", true, 65536},
                                           RoundTripCase{"kem_only_empty", false, 0},
                                           RoundTripCase{"kem_only_1KiB", false, 1024}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EncryptTest, EverySealingDrawsFreshRandomness) {
    const Encryptor enc = Encryptor::from_bundle(recipient().public_keys());
    const Bytes plaintext = bytes_of("same message");
    const EncryptedPayload a = seal(enc, plaintext);
    const EncryptedPayload b = seal(enc, plaintext);
    EXPECT_NE(a.kem_ciphertext, b.kem_ciphertext);
    EXPECT_NE(a.nonce, b.nonce);
    EXPECT_NE(a.ephemeral_x25519_pk, b.ephemeral_x25519_pk);
    EXPECT_NE(a.payload_id, b.payload_id);
    EXPECT_NE(a.encrypted_data, b.encrypted_data);
}

// ---- key derivation --------------------------------------------------------

TEST_F(EncryptTest, DerivedKeyIsHkdfSha256WithTheFixedSaltAndInfo) {
    EXPECT_EQ(kPayloadKeySalt.size(), 17u);
    EXPECT_EQ(kPayloadKeyInfo.size(), 24u);
    Bytes kem_ss(32), x_ss(32);
    for (int i = 0; i < 32; ++i) {
        kem_ss[i] = static_cast<std::uint8_t>(i);
        x_ss[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    Bytes both = kem_ss;
    both.insert(both.end(), x_ss.begin(), x_ss.end());

    auto kem_only = derive_symmetric_key(kem_ss, std::nullopt);
    auto hybrid = derive_symmetric_key(kem_ss, std::optional<std::span<const std::uint8_t>>(x_ss));
    auto swapped = derive_symmetric_key(x_ss, std::optional<std::span<const std::uint8_t>>(kem_ss));
    ASSERT_TRUE(kem_only && hybrid && swapped);
    EXPECT_EQ(to_bytes(*kem_only), reference_hkdf(kem_ss, "mirex-lo-grain-v7", "ostrel-pq-channel-key-v1"));
    EXPECT_EQ(to_bytes(*hybrid), reference_hkdf(both, "mirex-lo-grain-v7", "ostrel-pq-channel-key-v1"));
    EXPECT_EQ(hybrid->size(), 32u);
    EXPECT_NE(to_bytes(*hybrid), to_bytes(*swapped));  // ML-KEM's secret comes first
}

// A payload assembled by hand from the primitives, following the documented
// construction, opens: the decryptor agrees with the construction, not just
// with its own encryptor.
TEST_F(EncryptTest, HandAssembledHybridPayloadOpens) {
    const PublicKeyBundle bundle = recipient().public_keys();
    auto enc = crypto::mlkem768::encaps(bundle.ml_kem_encapsulation_key);
    ASSERT_TRUE(enc);
    Bytes eph_secret(32);
    for (int i = 0; i < 32; ++i) eph_secret[i] = static_cast<std::uint8_t>(3 * i + 1);
    auto eph_pk = crypto::x25519::public_key_from_secret(eph_secret);
    auto x_ss = crypto::x25519::shared_secret(eph_secret, bundle.x25519_public_key);
    ASSERT_TRUE(eph_pk && x_ss);

    Bytes ikm(enc->shared_secret.begin(), enc->shared_secret.end());
    ikm.insert(ikm.end(), x_ss->begin(), x_ss->end());
    const Bytes key = reference_hkdf(ikm, "mirex-lo-grain-v7", "ostrel-pq-channel-key-v1");
    const Bytes nonce(12, 0x42);
    const Bytes plaintext = bytes_of("assembled by hand");
    auto sealed = crypto::chacha20poly1305::seal(key, nonce, plaintext, bytes_of(bundle.id));
    ASSERT_TRUE(sealed);

    EncryptedPayload p{enc->ciphertext, *sealed, nonce, {}, *eph_pk, bundle.id, "not-even-a-uuid"};
    auto opened = Decryptor::from_keypair(recipient()).decrypt(p);
    ASSERT_TRUE(opened) << opened.error().display();
    EXPECT_EQ(*opened, plaintext);
}

// ---- authentication --------------------------------------------------------

struct TamperCase {
    const char* name;
    bool hybrid_sender;
    std::function<void(EncryptedPayload&)> edit;
};

class EncryptTamper : public EncryptTest, public ::testing::WithParamInterface<TamperCase> {};

TEST_P(EncryptTamper, FailsAtTheAeadStep) {
    const TamperCase& c = GetParam();
    const PublicKeyBundle bundle = recipient().public_keys();
    const Encryptor enc = c.hybrid_sender ? Encryptor::from_bundle(bundle) : Encryptor::ml_kem_only(bundle);
    EncryptedPayload p = seal(enc, bytes_of("attack at dawn"));
    c.edit(p);
    EXPECT_TRUE(starts_with(open_error(Decryptor::from_keypair(recipient()), p), "decryption failed: AEAD decrypt: "))
        << open_error(Decryptor::from_keypair(recipient()), p);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, EncryptTamper,
    ::testing::Values(
        TamperCase{"kem_ciphertext_first", true, [](EncryptedPayload& p) { p.kem_ciphertext[0] ^= 1; }},
        TamperCase{"kem_ciphertext_last", false, [](EncryptedPayload& p) { p.kem_ciphertext.back() ^= 0x80; }},
        TamperCase{"ciphertext_byte", true, [](EncryptedPayload& p) { p.encrypted_data[0] ^= 1; }},
        TamperCase{"tag_byte", true, [](EncryptedPayload& p) { p.encrypted_data.back() ^= 1; }},
        TamperCase{"truncated_tag", true, [](EncryptedPayload& p) { p.encrypted_data.pop_back(); }},
        TamperCase{"shorter_than_tag", true, [](EncryptedPayload& p) { p.encrypted_data.resize(15); }},
        TamperCase{"nonce_byte", true, [](EncryptedPayload& p) { p.nonce[11] ^= 1; }},
        TamperCase{"ephemeral_key_byte", true, [](EncryptedPayload& p) { p.ephemeral_x25519_pk[5] ^= 0x10; }},
        TamperCase{"ephemeral_key_removed", true, [](EncryptedPayload& p) { p.ephemeral_x25519_pk.clear(); }},
        TamperCase{"ephemeral_key_added", false,
                   [](EncryptedPayload& p) { p.ephemeral_x25519_pk = EncryptTest::other().x25519_public_key(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EncryptTest, RecipientIdIsAuthenticatedEvenWhenEditedConsistently) {
    EncryptedPayload p = seal(Encryptor::from_bundle(recipient().public_keys()), bytes_of("x"));
    const std::string forged = recipient().id() + "-forged";
    p.recipient_key_id = forged;
    const Decryptor same_keys_other_id(recipient().ml_kem_decapsulation_key(), forged, recipient().x25519_secret_key());
    EXPECT_TRUE(starts_with(open_error(same_keys_other_id, p), "decryption failed: AEAD decrypt: "));
}

TEST_F(EncryptTest, AuthTagAndPayloadIdPlayNoPartInOpening) {
    EncryptedPayload p = seal(Encryptor::from_bundle(recipient().public_keys()), bytes_of("hello"));
    p.auth_tag = {1, 2, 3, 4, 5};
    p.payload_id = "anything";
    auto opened = Decryptor::from_keypair(recipient()).decrypt(p);
    ASSERT_TRUE(opened) << opened.error().display();
    EXPECT_EQ(*opened, bytes_of("hello"));
}

TEST_F(EncryptTest, WrongRecipientIsRefusedBeforeAnyCryptography) {
    EncryptedPayload p = seal(Encryptor::from_bundle(recipient().public_keys()), bytes_of("for the recipient"));
    // Broken key material and a broken nonce: only the id check can run
    // first and still produce this text.
    p.nonce.resize(3);
    const Decryptor broken(SecretBytes(Bytes{1, 2, 3}), other().id(), SecretBytes(Bytes{9}));
    EXPECT_EQ(open_error(broken, p), "decryption failed: recipient key id mismatch: payload targeted '" +
                                         recipient().id() + "', decryptor holds '" + other().id() + "'");
    EXPECT_EQ(open_error(Decryptor::from_keypair(other()), p),
              "decryption failed: recipient key id mismatch: payload targeted '" + recipient().id() +
                  "', decryptor holds '" + other().id() + "'");
}

// ---- lengths and kinds -----------------------------------------------------

struct SealErrorCase {
    const char* name;
    std::function<Encryptor(const PublicKeyBundle&)> make;
    PqErrorKind kind;
    std::string text;  // whole display text, or a prefix when ending in ": "
};

class EncryptSealErrors : public EncryptTest, public ::testing::WithParamInterface<SealErrorCase> {};

TEST_P(EncryptSealErrors, ReportTheDocumentedKindAndText) {
    const SealErrorCase& c = GetParam();
    auto r = c.make(recipient().public_keys()).encrypt(bytes_of("data"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, c.kind);
    if (c.text.ends_with(": "))
        EXPECT_TRUE(starts_with(r.error().display(), c.text)) << r.error().display();
    else
        EXPECT_EQ(r.error().display(), c.text);
}

Bytes resized(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EncryptSealErrors,
    ::testing::Values(
        SealErrorCase{"ek_short",
                      [](const PublicKeyBundle& b) { return Encryptor(resized(b.ml_kem_encapsulation_key, 1183), b.id, b.x25519_public_key); },
                      PqErrorKind::KeyGeneration,
                      "key generation failed: invalid ML-KEM EK bytes: could not convert slice to array"},
        SealErrorCase{"ek_long",
                      [](const PublicKeyBundle& b) { return Encryptor(resized(b.ml_kem_encapsulation_key, 1185), b.id, std::nullopt); },
                      PqErrorKind::KeyGeneration,
                      "key generation failed: invalid ML-KEM EK bytes: could not convert slice to array"},
        SealErrorCase{"ek_coefficient_out_of_range",
                      [](const PublicKeyBundle& b) {
                          Bytes ek = b.ml_kem_encapsulation_key;
                          ek[0] = 0xFF;
                          ek[1] = 0xFF;  // first 12-bit coefficient 4095 >= q
                          return Encryptor(ek, b.id, b.x25519_public_key);
                      },
                      PqErrorKind::KeyGeneration, "key generation failed: ML-KEM EK init: "},
        SealErrorCase{"x25519_short",
                      [](const PublicKeyBundle& b) { return Encryptor(b.ml_kem_encapsulation_key, b.id, resized(b.x25519_public_key, 31)); },
                      PqErrorKind::Decryption, "decryption failed: X25519 public key must be 32 bytes, got 31"},
        SealErrorCase{"x25519_empty",
                      [](const PublicKeyBundle& b) { return Encryptor(b.ml_kem_encapsulation_key, b.id, Bytes{}); },
                      PqErrorKind::Decryption, "decryption failed: X25519 public key must be 32 bytes, got 0"},
        SealErrorCase{"x25519_small_order_point",
                      [](const PublicKeyBundle& b) { return Encryptor(b.ml_kem_encapsulation_key, b.id, Bytes(32, 0)); },
                      PqErrorKind::Decryption, "decryption failed: X25519 agreement: "}),
    [](const auto& info) { return std::string(info.param.name); });

struct OpenErrorCase {
    const char* name;
    std::function<void(EncryptedPayload&)> edit_payload;
    std::function<Decryptor(const OstrelKeyPair&)> make;
    PqErrorKind kind;
    std::string text;
};

class EncryptOpenErrors : public EncryptTest, public ::testing::WithParamInterface<OpenErrorCase> {};

TEST_P(EncryptOpenErrors, ReportTheDocumentedKindAndText) {
    const OpenErrorCase& c = GetParam();
    EncryptedPayload p = seal(Encryptor::from_bundle(recipient().public_keys()), bytes_of("data"));
    c.edit_payload(p);
    auto r = c.make(recipient()).decrypt(p);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, c.kind);
    if (c.text.ends_with(": "))
        EXPECT_TRUE(starts_with(r.error().display(), c.text)) << r.error().display();
    else
        EXPECT_EQ(r.error().display(), c.text);
}

Decryptor full(const OstrelKeyPair& kp) { return Decryptor::from_keypair(kp); }
void keep(EncryptedPayload&) {}

INSTANTIATE_TEST_SUITE_P(
    Cases, EncryptOpenErrors,
    ::testing::Values(
        OpenErrorCase{"seed_short", keep,
                      [](const OstrelKeyPair& kp) {
                          return Decryptor(SecretBytes(resized(Bytes(kp.ml_kem_decapsulation_key().begin(), kp.ml_kem_decapsulation_key().end()), 63)),
                                           kp.id(), kp.x25519_secret_key());
                      },
                      PqErrorKind::KeyGeneration,
                      "key generation failed: invalid ML-KEM DK seed: could not convert slice to array"},
        OpenErrorCase{"seed_checked_before_ciphertext", [](EncryptedPayload& p) { p.kem_ciphertext.resize(10); },
                      [](const OstrelKeyPair& kp) { return Decryptor(SecretBytes(), kp.id(), kp.x25519_secret_key()); },
                      PqErrorKind::KeyGeneration,
                      "key generation failed: invalid ML-KEM DK seed: could not convert slice to array"},
        OpenErrorCase{"ciphertext_1087", [](EncryptedPayload& p) { p.kem_ciphertext.pop_back(); }, full,
                      PqErrorKind::Decryption, "decryption failed: ML-KEM ciphertext size: "},
        OpenErrorCase{"ciphertext_1089", [](EncryptedPayload& p) { p.kem_ciphertext.push_back(0); }, full,
                      PqErrorKind::Decryption, "decryption failed: ML-KEM ciphertext size: "},
        OpenErrorCase{"x25519_secret_short", keep,
                      [](const OstrelKeyPair& kp) {
                          return Decryptor(kp.ml_kem_decapsulation_key(), kp.id(), SecretBytes(Bytes(31, 7)));
                      },
                      PqErrorKind::Decryption, "decryption failed: X25519 secret key must be 32 bytes, got 31"},
        OpenErrorCase{"ephemeral_short", [](EncryptedPayload& p) { p.ephemeral_x25519_pk.pop_back(); }, full,
                      PqErrorKind::Decryption, "decryption failed: X25519 public key must be 32 bytes, got 31"},
        OpenErrorCase{"ephemeral_small_order", [](EncryptedPayload& p) { p.ephemeral_x25519_pk.assign(32, 0); }, full,
                      PqErrorKind::Decryption, "decryption failed: X25519 agreement: "},
        OpenErrorCase{"nonce_11", [](EncryptedPayload& p) { p.nonce.pop_back(); }, full, PqErrorKind::Decryption,
                      "decryption failed: nonce must be 12 bytes, got 11"},
        OpenErrorCase{"nonce_13", [](EncryptedPayload& p) { p.nonce.push_back(0); }, full, PqErrorKind::Decryption,
                      "decryption failed: nonce must be 12 bytes, got 13"},
        OpenErrorCase{"ciphertext_size_before_nonce",
                      [](EncryptedPayload& p) {
                          p.kem_ciphertext.pop_back();
                          p.nonce.pop_back();
                      },
                      full, PqErrorKind::Decryption, "decryption failed: ML-KEM ciphertext size: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EncryptTest, ToX25519PkChecksTheLength) {
    for (std::size_t n : {0u, 31u, 33u}) {
        auto r = to_x25519_pk(Bytes(n, 1));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), "decryption failed: X25519 public key must be 32 bytes, got " + std::to_string(n));
    }
    Bytes b(32);
    for (int i = 0; i < 32; ++i) b[i] = static_cast<std::uint8_t>(i);
    auto ok = to_x25519_pk(b);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), ok->bytes.begin()));
}

// ---- JSON ------------------------------------------------------------------

TEST_F(EncryptTest, JsonIsCompactWithKeysInDeclarationOrder) {
    EncryptedPayload p{{1, 2}, {3}, {4, 5, 6}, {}, {}, "ostrel-key-x", "pid"};
    EXPECT_EQ(p.to_json(),
              R"({"kem_ciphertext":[1,2],"encrypted_data":[3],"nonce":[4,5,6],"auth_tag":[],)"
              R"("ephemeral_x25519_pk":[],"recipient_key_id":"ostrel-key-x","payload_id":"pid"})");
}

TEST_F(EncryptTest, ToJsonWritesWhatTheGenericWriterWrites) {
    EncryptedPayload sealed = seal(Encryptor::from_bundle(recipient().public_keys()), bytes_of("any"));
    const std::vector<EncryptedPayload> payloads = {
        sealed,
        EncryptedPayload{{0, 9, 10, 99, 100, 255}, {}, {}, {1}, {}, "quote\" back\\ \n \x01 \xc3\xa9 \xff", ""},
    };
    for (const EncryptedPayload& p : payloads) {
        ostrel_util::JsonWriter w;
        p.write_json(w);
        EXPECT_EQ(p.to_json(), w.str());
    }
}

TEST_F(EncryptTest, JsonReaderRequiresEveryKeyButTheEphemeralKey) {
    const EncryptedPayload p = seal(Encryptor::from_bundle(recipient().public_keys()), bytes_of("json"));
    const nlohmann::json full_json = nlohmann::json::parse(p.to_json());
    for (const char* key : {"kem_ciphertext", "encrypted_data", "nonce", "auth_tag", "recipient_key_id", "payload_id"}) {
        nlohmann::json j = full_json;
        j.erase(key);
        auto r = EncryptedPayload::from_json(j.dump());
        ASSERT_FALSE(r) << key;
        EXPECT_EQ(r.error().message, std::string("missing field `") + key + "`");
    }
    nlohmann::json j = full_json;
    j.erase("ephemeral_x25519_pk");
    j["something_else"] = {1, 2, 3};
    auto r = EncryptedPayload::from_json(j.dump());
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_TRUE(r->ephemeral_x25519_pk.empty());
    // Parsed as ML-KEM-only: the tag no longer matches.
    EXPECT_TRUE(starts_with(open_error(Decryptor::from_keypair(recipient()), *r), "decryption failed: AEAD decrypt: "));
}

TEST_F(EncryptTest, JsonReaderRejectsDuplicatesAndBadBytes) {
    auto dup = EncryptedPayload::from_json(
        R"({"kem_ciphertext":[],"kem_ciphertext":[],"encrypted_data":[],"nonce":[],"auth_tag":[],"recipient_key_id":"a","payload_id":"b"})");
    ASSERT_FALSE(dup);
    EXPECT_EQ(dup.error().message, "duplicate field `kem_ciphertext`");
    auto big = EncryptedPayload::from_json(
        R"({"kem_ciphertext":[256],"encrypted_data":[],"nonce":[],"auth_tag":[],"recipient_key_id":"a","payload_id":"b"})");
    ASSERT_FALSE(big);
    auto not_json = EncryptedPayload::from_json("not json");
    ASSERT_FALSE(not_json);
    EXPECT_FALSE(not_json.error().message.empty());
}

// from_json has a fast path for the plain shape; whatever the text, it must
// agree with the generic reader, value for value and message for message.
TEST_F(EncryptTest, JsonFastPathAgreesWithTheGenericReader) {
    const std::string tail = R"("recipient_key_id":"ostrel-key-1","payload_id":"p")";
    const std::vector<std::string> texts = {
        R"({"kem_ciphertext":[1,2,255],"encrypted_data":[0],"nonce":[],"auth_tag":[],"ephemeral_x25519_pk":[7],)" + tail + "}",
        " { \"kem_ciphertext\" : [ 1 , 2 ] ,\n\t\"encrypted_data\":[0],\"nonce\":[],\"auth_tag\":[]," + tail + " } ",
        R"({"kem_ciphertext":[1],"encrypted_data":[0],"nonce":[],"auth_tag":[],"ephemeral_x25519_pk":null,)" + tail + "}",
        R"({"kem_ciphertext":[1],"encrypted_data":[0],"nonce":[],"auth_tag":[],"extra":{"a":[1.5]},)" + tail + "}",
        R"({"kem_ciphertext":[1],"encrypted_data":[0],"nonce":[],"auth_tag":[],"recipient_key_id":"k\u00e9y","payload_id":"p"})",
        R"({"kem_ciphertext":[1],"encrypted_data":[0],"nonce":[],"auth_tag":[],"recipient_key_id":"kéy","payload_id":"p"})",
        R"({"kem_ciphertext":[256],"encrypted_data":[0],"nonce":[],"auth_tag":[],)" + tail + "}",
        R"({"kem_ciphertext":[007],"encrypted_data":[0],"nonce":[],"auth_tag":[],)" + tail + "}",
        R"({"kem_ciphertext":[-1],"encrypted_data":[0],"nonce":[],"auth_tag":[],)" + tail + "}",
        R"({"kem_ciphertext":[1.0],"encrypted_data":[0],"nonce":[],"auth_tag":[],)" + tail + "}",
        R"({"kem_ciphertext":[1e2],"encrypted_data":[0],"nonce":[],"auth_tag":[],)" + tail + "}",
        R"({"kem_ciphertext":[1,],"encrypted_data":[0],"nonce":[],"auth_tag":[],)" + tail + "}",
        R"({"kem_ciphertext":[1],"kem_ciphertext":[2],"encrypted_data":[0],"nonce":[],"auth_tag":[],)" + tail + "}",
        R"({"kem_ciphertext":[1],"encrypted_data":[0],"nonce":[],)" + tail + "}",
        R"({"kem_ciphertext":[1],"encrypted_data":[0],"nonce":[],"auth_tag":[],)" + tail + "} x",
        R"({"kem_ciphertext":"AQ==","encrypted_data":[0],"nonce":[],"auth_tag":[],)" + tail + "}",
        "{}",
        "[]",
    };
    for (const std::string& text : texts) {
        auto fast = EncryptedPayload::from_json(text);
        std::expected<EncryptedPayload, ostrel_util::JsonError> generic = std::unexpected(ostrel_util::JsonError{});
        auto doc = ostrel_util::parse_json(text);
        generic = doc ? EncryptedPayload::from_json_value(*doc) : std::unexpected(doc.error());
        ASSERT_EQ(fast.has_value(), generic.has_value()) << text;
        if (fast)
            EXPECT_EQ(*fast, *generic) << text;
        else
            EXPECT_EQ(fast.error().message, generic.error().message) << text;
    }
}

// ---- threads ---------------------------------------------------------------

TEST_F(EncryptTest, SharedEncryptorAndDecryptorWorkFromSeveralThreads) {
    const Encryptor enc = Encryptor::from_bundle(recipient().public_keys());
    const Decryptor dec = Decryptor::from_keypair(recipient());
    std::vector<int> ok(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                const Bytes msg = bytes_of("thread " + std::to_string(t) + " message " + std::to_string(i));
                auto p = enc.encrypt(msg);
                if (!p) continue;
                auto back = dec.decrypt(*p);
                if (back && *back == msg) ++ok[static_cast<std::size_t>(t)];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int n : ok) EXPECT_EQ(n, 10);
}

}  // namespace
}  // namespace ostrel_pq
