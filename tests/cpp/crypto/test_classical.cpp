// The OpenSSL-backed classical primitives against their RFC test vectors,
// plus their error paths: SHA-256 (FIPS 180-4 examples), Ed25519 (RFC 8032
// section 7.1 test 1), X25519 (RFC 7748 section 6.1), ChaCha20-Poly1305
// (RFC 8439 section 2.8.2), HKDF-SHA256 (RFC 5869 appendix A) and the OS
// random source.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "pq/crypto/chacha20poly1305.hpp"
#include "pq/crypto/ed25519.hpp"
#include "pq/crypto/hkdf_sha256.hpp"
#include "pq/crypto/os_random.hpp"
#include "pq/crypto/sha256.hpp"
#include "pq/crypto/x25519.hpp"

namespace {

using ostrel_pq::crypto::CryptoError;
using Bytes = std::vector<std::uint8_t>;
using Kind = CryptoError::Kind;

Bytes hex(std::string_view s) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        throw std::invalid_argument("bad hex");
    };
    Bytes out(s.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(nibble(s[2 * i]) * 16 + nibble(s[2 * i + 1]));
    return out;
}

Bytes ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes to_bytes(const ostrel_util::SecretBytes& s) { return Bytes(s.begin(), s.end()); }
template <std::size_t N>
Bytes to_bytes(const std::array<std::uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

Bytes filled(std::size_t n, std::uint8_t v) { return Bytes(n, v); }

// ---------------------------------------------------------------- SHA-256

TEST(Sha256, KnownDigests) {
    struct Case {
        std::string_view message;
        std::string_view digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& c : cases) {
        const auto d = ostrel_pq::crypto::sha256(ascii(c.message));
        ASSERT_TRUE(d.has_value());
        EXPECT_EQ(to_bytes(*d), hex(c.digest)) << c.message;
    }
}

TEST(Sha256, IncrementalEqualsOneShotForEverySplit) {
    Bytes msg(300);
    for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<std::uint8_t>(i * 131 + 7);
    const auto expected = ostrel_pq::crypto::sha256(msg);
    ASSERT_TRUE(expected.has_value());
    // Split points around the 64-byte block boundary and at the ends.
    for (const std::size_t split : {0, 1, 55, 56, 63, 64, 65, 128, 299, 300}) {
        ostrel_pq::crypto::Sha256 h;
        h.update(std::span(msg).first(split)).update(std::span(msg).subspan(split));
        const auto got = h.finish();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, *expected) << "split " << split;
    }
    // Byte at a time.
    ostrel_pq::crypto::Sha256 h;
    for (const std::uint8_t b : msg) h.update(std::span(&b, 1));
    EXPECT_EQ(*h.finish(), *expected);
}

TEST(Sha256, FinishResetsForTheNextMessageAndMovedFromHasherReportsError) {
    ostrel_pq::crypto::Sha256 h;
    h.update(ascii("first message"));
    ASSERT_TRUE(h.finish().has_value());
    h.update(ascii("abc"));
    EXPECT_EQ(to_bytes(*h.finish()), hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));

    ostrel_pq::crypto::Sha256 moved_to(std::move(h));
    moved_to.update(ascii("abc"));
    EXPECT_EQ(to_bytes(*moved_to.finish()), hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    h.update(ascii("abc"));  // NOLINT(bugprone-use-after-move): the error path is what is tested
    const auto bad = h.finish();
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().kind(), Kind::Backend);
}

// ---------------------------------------------------------------- Ed25519

namespace ed = ostrel_pq::crypto::ed25519;

const Bytes kEdSeed = hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
const Bytes kEdPublic = hex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
const Bytes kEdSig = hex(
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");

TEST(Ed25519, Rfc8032Test1) {
    const auto pk = ed::public_key_from_seed(kEdSeed);
    ASSERT_TRUE(pk.has_value());
    EXPECT_EQ(*pk, kEdPublic);
    const auto kp = ed::keypair_from_seed(kEdSeed);
    ASSERT_TRUE(kp.has_value());
    EXPECT_EQ(to_bytes(kp->seed), kEdSeed);
    EXPECT_EQ(kp->public_key, kEdPublic);

    const auto sig = ed::sign(kEdSeed, Bytes{});
    ASSERT_TRUE(sig.has_value());
    EXPECT_EQ(*sig, kEdSig);
    EXPECT_TRUE(ed::verify(kEdPublic, Bytes{}, kEdSig).has_value());
}

TEST(Ed25519, AlteredInputsDoNotVerify) {
    const Bytes msg = ascii("permit token canonical bytes");
    const Bytes sig = *ed::sign(kEdSeed, msg);
    ASSERT_TRUE(ed::verify(kEdPublic, msg, sig).has_value());

    Bytes other_msg = msg;
    other_msg.back() ^= 1;
    Bytes sig_r = sig;
    sig_r[0] ^= 0x01;  // R half
    Bytes sig_s = sig;
    sig_s[40] ^= 0x01;  // S half
    const Bytes other_pk = *ed::public_key_from_seed(filled(32, 0x42));
    struct Case {
        const char* what;
        Bytes pk, msg, sig;
    };
    const Case cases[] = {
        {"message changed", kEdPublic, other_msg, sig},
        {"R changed", kEdPublic, msg, sig_r},
        {"S changed", kEdPublic, msg, sig_s},
        {"other key", other_pk, msg, sig},
        {"all-zero signature", kEdPublic, msg, filled(64, 0)},
    };
    for (const auto& c : cases) {
        const auto r = ed::verify(c.pk, c.msg, c.sig);
        ASSERT_FALSE(r.has_value()) << c.what;
        EXPECT_EQ(r.error().kind(), Kind::VerificationFailed) << c.what;
        EXPECT_EQ(r.error().display(), "verification failed: Ed25519 signature does not verify") << c.what;
    }
}

TEST(Ed25519, PublicKeyMustDecodeToACurvePoint) {
    Bytes y_is_p_minus_1 = filled(32, 0xff);  // y = 2^255 - 1 >= p: not canonical
    y_is_p_minus_1[31] = 0x7f;
    Bytes y_is_2 = filled(32, 0);  // y = 2: (y^2 - 1)/(d y^2 + 1) is not a square
    y_is_2[0] = 2;
    Bytes minus_zero = filled(32, 0);  // y = 1, x = 0 with the sign bit set
    minus_zero[0] = 1;
    minus_zero[31] = 0x80;
    for (const Bytes& bad : {y_is_p_minus_1, y_is_2, minus_zero}) {
        const auto r = ed::check_public_key(bad);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), Kind::InvalidKey);
        EXPECT_EQ(r.error().display(), "invalid key: Ed25519 public key is not a valid curve point");
        EXPECT_EQ(ed::verify(bad, ascii("m"), kEdSig).error(), r.error());
    }
    Bytes identity = filled(32, 0);  // y = 1, x = 0: the neutral point decodes
    identity[0] = 1;
    EXPECT_TRUE(ed::check_public_key(identity).has_value());
    EXPECT_TRUE(ed::check_public_key(kEdPublic).has_value());
}

TEST(Ed25519, WrongLengthsAreErrors) {
    struct Case {
        std::string what;
        std::expected<void, CryptoError> result;
        std::string display;
    };
    auto void_of = [](const auto& r) -> std::expected<void, CryptoError> {
        if (r) return {};
        return std::unexpected(r.error());
    };
    const Case cases[] = {
        {"seed 31 to sign", void_of(ed::sign(filled(31, 1), ascii("m"))),
         "invalid length: Ed25519 seed must be 32 bytes, got 31"},
        {"seed 33 to public", void_of(ed::public_key_from_seed(filled(33, 1))),
         "invalid length: Ed25519 seed must be 32 bytes, got 33"},
        {"public 31", ed::verify(filled(31, 1), ascii("m"), kEdSig),
         "invalid length: Ed25519 public key must be 32 bytes, got 31"},
        {"signature 63", ed::verify(kEdPublic, Bytes{}, std::span(kEdSig).first(63)),
         "invalid length: Ed25519 signature must be 64 bytes, got 63"},
        {"signature 65", ed::verify(kEdPublic, Bytes{}, filled(65, 0)),
         "invalid length: Ed25519 signature must be 64 bytes, got 65"},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(c.result.has_value()) << c.what;
        EXPECT_EQ(c.result.error().kind(), Kind::InvalidLength) << c.what;
        EXPECT_EQ(c.result.error().display(), c.display) << c.what;
    }
}

// ---------------------------------------------------------------- X25519

namespace xd = ostrel_pq::crypto::x25519;

TEST(X25519, Rfc7748Section6_1) {
    const Bytes alice_sk = hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const Bytes alice_pk = hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    const Bytes bob_sk = hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    const Bytes bob_pk = hex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const Bytes shared = hex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");

    EXPECT_EQ(*xd::public_key_from_secret(alice_sk), alice_pk);
    const auto bob = xd::keypair_from_secret(bob_sk);
    ASSERT_TRUE(bob.has_value());
    EXPECT_EQ(to_bytes(bob->secret_key), bob_sk);
    EXPECT_EQ(bob->public_key, bob_pk);

    const auto ab = xd::shared_secret(alice_sk, bob_pk);
    const auto ba = xd::shared_secret(bob_sk, alice_pk);
    ASSERT_TRUE(ab.has_value());
    ASSERT_TRUE(ba.has_value());
    EXPECT_EQ(to_bytes(*ab), shared);
    EXPECT_EQ(to_bytes(*ba), shared);
}

TEST(X25519, SmallOrderPeerKeysAreRefused) {
    const Bytes sk = filled(32, 0x11);
    Bytes u_one = filled(32, 0);
    u_one[0] = 1;
    Bytes u_p = hex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");  // p itself = 0 mod p
    for (const Bytes& peer : {filled(32, 0), u_one, u_p}) {
        const auto r = xd::shared_secret(sk, peer);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), Kind::InvalidKey);
        EXPECT_NE(r.error().detail().find("all zeros"), std::string::npos) << r.error().display();
    }
}

TEST(X25519, WrongLengthsAreErrors) {
    const Bytes pk = *xd::public_key_from_secret(filled(32, 3));
    const auto short_secret = xd::shared_secret(filled(31, 3), pk);
    ASSERT_FALSE(short_secret.has_value());
    EXPECT_EQ(short_secret.error().display(), "invalid length: X25519 secret key must be 32 bytes, got 31");
    const auto long_peer = xd::shared_secret(filled(32, 3), filled(33, 9));
    ASSERT_FALSE(long_peer.has_value());
    EXPECT_EQ(long_peer.error().display(), "invalid length: X25519 public key must be 32 bytes, got 33");
    const auto empty = xd::public_key_from_secret(Bytes{});
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(empty.error().kind(), Kind::InvalidLength);
}

// ---------------------------------------------------------------- ChaCha20-Poly1305

namespace aead = ostrel_pq::crypto::chacha20poly1305;

class ChaCha20Poly1305Rfc : public ::testing::Test {
protected:
    Bytes key = hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
    Bytes nonce = hex("070000004041424344454647");
    Bytes aad = hex("50515253c0c1c2c3c4c5c6c7");
    Bytes plaintext = ascii(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would "
        "be it.");
    Bytes sealed = hex(
        "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a9e06"
        "0b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d265"
        "86cec64b6116"
        "1ae10b594f09e26a7e902ecbd0600691");
};

TEST_F(ChaCha20Poly1305Rfc, Section2_8_2SealAndOpen) {
    const auto out = aead::seal(key, nonce, plaintext, aad);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(*out, sealed);
    const auto back = aead::open(key, nonce, sealed, aad);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, plaintext);
}

TEST_F(ChaCha20Poly1305Rfc, AnyAlterationFailsTheTagCheck) {
    auto flip = [](Bytes b, std::size_t i) {
        b[i] ^= 0x01;
        return b;
    };
    struct Case {
        const char* what;
        Bytes key, nonce, sealed, aad;
    };
    const Case cases[] = {
        {"first ciphertext byte", key, nonce, flip(sealed, 0), aad},
        {"last ciphertext byte", key, nonce, flip(sealed, plaintext.size() - 1), aad},
        {"tag byte", key, nonce, flip(sealed, sealed.size() - 1), aad},
        {"associated data", key, nonce, sealed, flip(aad, 3)},
        {"associated data removed", key, nonce, sealed, Bytes{}},
        {"nonce", key, flip(nonce, 11), sealed, aad},
        {"key", flip(key, 31), nonce, sealed, aad},
        {"truncated to the tag", key, nonce, Bytes(sealed.end() - 16, sealed.end()), aad},
    };
    for (const auto& c : cases) {
        const auto r = aead::open(c.key, c.nonce, c.sealed, c.aad);
        ASSERT_FALSE(r.has_value()) << c.what;
        EXPECT_EQ(r.error().kind(), Kind::VerificationFailed) << c.what;
        EXPECT_EQ(r.error().display(), "verification failed: ChaCha20-Poly1305 authentication tag mismatch") << c.what;
    }
}

TEST_F(ChaCha20Poly1305Rfc, EmptyPlaintextAndEmptyAssociatedData) {
    const auto tag_only = aead::seal(key, nonce, Bytes{}, aad);
    ASSERT_TRUE(tag_only.has_value());
    EXPECT_EQ(tag_only->size(), aead::kTagBytes);
    const auto opened = aead::open(key, nonce, *tag_only, aad);
    ASSERT_TRUE(opened.has_value());
    EXPECT_TRUE(opened->empty());

    const auto no_aad = aead::seal(key, nonce, plaintext, Bytes{});
    ASSERT_TRUE(no_aad.has_value());
    EXPECT_EQ(*aead::open(key, nonce, *no_aad, Bytes{}), plaintext);
    // The keystream does not depend on the associated data, only the tag does.
    EXPECT_TRUE(std::equal(no_aad->begin(), no_aad->end() - 16, sealed.begin()));
    EXPECT_FALSE(std::equal(no_aad->end() - 16, no_aad->end(), sealed.end() - 16));
}

TEST_F(ChaCha20Poly1305Rfc, WrongLengthsAreErrors) {
    struct Case {
        const char* what;
        std::expected<std::vector<std::uint8_t>, CryptoError> result;
        std::string display;
    };
    const Case cases[] = {
        {"seal key 31", aead::seal(filled(31, 0), nonce, plaintext, aad),
         "invalid length: ChaCha20-Poly1305 key must be 32 bytes, got 31"},
        {"seal nonce 11", aead::seal(key, filled(11, 0), plaintext, aad),
         "invalid length: ChaCha20-Poly1305 nonce must be 12 bytes, got 11"},
        {"open nonce 13", aead::open(key, filled(13, 0), sealed, aad),
         "invalid length: ChaCha20-Poly1305 nonce must be 12 bytes, got 13"},
        {"open key 33", aead::open(filled(33, 0), nonce, sealed, aad),
         "invalid length: ChaCha20-Poly1305 key must be 32 bytes, got 33"},
        {"open shorter than tag", aead::open(key, nonce, filled(15, 0), aad),
         "invalid length: ChaCha20-Poly1305 sealed data must be at least 16 bytes (the tag), got 15"},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(c.result.has_value()) << c.what;
        EXPECT_EQ(c.result.error().kind(), Kind::InvalidLength) << c.what;
        EXPECT_EQ(c.result.error().display(), c.display) << c.what;
    }
}

// ---------------------------------------------------------------- HKDF-SHA256

namespace hkdf = ostrel_pq::crypto::hkdf_sha256;

TEST(HkdfSha256, Rfc5869TestCases1And3) {
    struct Case {
        const char* name;
        Bytes ikm, salt, info;
        std::size_t length;
        Bytes prk, okm;
    };
    const Case cases[] = {
        {"test case 1", filled(22, 0x0b), hex("000102030405060708090a0b0c"), hex("f0f1f2f3f4f5f6f7f8f9"), 42,
         hex("077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5"),
         hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865")},
        {"test case 3 (empty salt and info)", filled(22, 0x0b), Bytes{}, Bytes{}, 42,
         hex("19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04"),
         hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto prk = hkdf::extract(c.salt, c.ikm);
        ASSERT_TRUE(prk.has_value()) << prk.error().display();
        EXPECT_EQ(to_bytes(*prk), c.prk);
        const auto okm = hkdf::expand(c.prk, c.info, c.length);
        ASSERT_TRUE(okm.has_value()) << okm.error().display();
        EXPECT_EQ(to_bytes(*okm), c.okm);
        const auto derived = hkdf::derive(c.ikm, c.salt, c.info, c.length);
        ASSERT_TRUE(derived.has_value()) << derived.error().display();
        EXPECT_EQ(to_bytes(*derived), c.okm);
    }
}

TEST(HkdfSha256, OutputLengthLimits) {
    const Bytes ikm = filled(32, 7);
    const auto longest = hkdf::derive(ikm, Bytes{}, ascii("info"), hkdf::kMaxOutputBytes);
    ASSERT_TRUE(longest.has_value());
    EXPECT_EQ(longest->size(), 8160u);
    // A shorter request is a prefix of the longer one (RFC 5869 section 2.3).
    const auto short_one = hkdf::derive(ikm, Bytes{}, ascii("info"), 33);
    ASSERT_TRUE(short_one.has_value());
    EXPECT_TRUE(std::equal(short_one->begin(), short_one->end(), longest->begin()));

    for (const std::size_t bad : {std::size_t{0}, hkdf::kMaxOutputBytes + 1}) {
        const auto r = hkdf::derive(ikm, Bytes{}, Bytes{}, bad);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().display(),
                  "invalid length: HKDF-SHA256 output length must be between 1 and 8160 bytes, got " + std::to_string(bad));
    }
    const auto short_prk = hkdf::expand(filled(31, 1), Bytes{}, 32);
    ASSERT_FALSE(short_prk.has_value());
    EXPECT_EQ(short_prk.error().display(), "invalid length: HKDF-SHA256 pseudorandom key must be at least 32 bytes, got 31");
}

TEST(HkdfSha256, EmptyInputKeyingMaterialIsAccepted) {
    const auto prk = hkdf::extract(ascii("salt"), Bytes{});
    ASSERT_TRUE(prk.has_value()) << prk.error().display();
    const auto okm = hkdf::derive(Bytes{}, ascii("salt"), ascii("ctx"), 32);
    ASSERT_TRUE(okm.has_value()) << okm.error().display();
    EXPECT_EQ(to_bytes(*okm), to_bytes(*hkdf::expand(prk->span(), ascii("ctx"), 32)));
}

// ---------------------------------------------------------------- OS random source

TEST(OsRandom, FillsBuffersWithFreshBytes) {
    Bytes a(64, 0);
    Bytes b(64, 0);
    ASSERT_TRUE(ostrel_pq::crypto::os_random_fill(a).has_value());
    ASSERT_TRUE(ostrel_pq::crypto::os_random_fill(b).has_value());
    EXPECT_NE(a, b);
    EXPECT_NE(a, Bytes(64, 0));
    EXPECT_TRUE(ostrel_pq::crypto::os_random_fill(std::span<std::uint8_t>{}).has_value());

    const auto s = ostrel_pq::crypto::os_random_secret(48);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->size(), 48u);
}

TEST(CryptoErrorDisplay, PrefixesNameTheKind) {
    const std::pair<Kind, std::string> cases[] = {
        {Kind::InvalidLength, "invalid length: x"}, {Kind::InvalidKey, "invalid key: x"},
        {Kind::VerificationFailed, "verification failed: x"}, {Kind::RandomSource, "random source failure: x"},
        {Kind::Backend, "crypto backend failure: x"},
    };
    for (const auto& [kind, text] : cases) EXPECT_EQ(CryptoError(kind, "x").display(), text);
}

}  // namespace
