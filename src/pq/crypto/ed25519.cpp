#include "pq/crypto/ed25519.hpp"

#include <openssl/bn.h>

#include <array>

#include "pq/crypto/openssl_handles.hpp"

namespace ostrel_pq::crypto::ed25519 {

namespace {

using BnPtr = std::unique_ptr<BIGNUM, openssl::Free<BN_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, openssl::Free<BN_CTX_free>>;

std::expected<openssl::PkeyPtr, CryptoError> private_key(std::span<const std::uint8_t> seed) {
    if (seed.size() != kSeedBytes) return std::unexpected(openssl::length_error("Ed25519 seed", kSeedBytes, seed.size()));
    openssl::PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
    if (!key) return std::unexpected(openssl::backend_error("Ed25519 private key"));
    return key;
}

// Whether the 32-byte encoding decodes to a point (RFC 8032 section 5.1.3):
// with y < p, u = y^2 - 1 and v = d y^2 + 1, a square root x of u / v must
// exist, i.e. u * v^(p-2) is zero or a quadratic residue (Euler's criterion),
// and x = 0 must not come with the sign bit set. Public data only, so the
// variable-time big-number arithmetic is acceptable.
std::expected<bool, CryptoError> decodes_to_point(std::span<const std::uint8_t, 32> enc) {
    std::array<std::uint8_t, 32> y_le{};
    for (std::size_t i = 0; i < 32; ++i) y_le[i] = enc[i];
    const bool sign_bit = (y_le[31] & 0x80) != 0;
    y_le[31] &= 0x7F;

    BnCtxPtr ctx(BN_CTX_new());
    BnPtr p(BN_new()), y(BN_lebin2bn(y_le.data(), static_cast<int>(y_le.size()), nullptr)), d(BN_new()), u(BN_new()),
        v(BN_new()), t(BN_new()), e(BN_new()), one(BN_new());
    if (!ctx || !p || !y || !d || !u || !v || !t || !e || !one) return std::unexpected(openssl::backend_error("Ed25519 point check"));

    bool ok = BN_set_word(one.get(), 1) == 1;
    // p = 2^255 - 19
    ok = ok && BN_set_bit(p.get(), 255) == 1 && BN_sub_word(p.get(), 19) == 1;
    // d = -121665 / 121666 mod p
    ok = ok && BN_set_word(t.get(), 121666) == 1 && BN_mod_inverse(t.get(), t.get(), p.get(), ctx.get()) != nullptr;
    ok = ok && BN_set_word(d.get(), 121665) == 1 && BN_sub(d.get(), p.get(), d.get()) == 1;
    ok = ok && BN_mod_mul(d.get(), d.get(), t.get(), p.get(), ctx.get()) == 1;
    if (!ok) return std::unexpected(openssl::backend_error("Ed25519 point check"));

    if (BN_cmp(y.get(), p.get()) >= 0) return false;  // non-canonical y

    // u = y^2 - 1, v = d y^2 + 1
    ok = BN_mod_sqr(t.get(), y.get(), p.get(), ctx.get()) == 1;
    ok = ok && BN_mod_sub(u.get(), t.get(), one.get(), p.get(), ctx.get()) == 1;
    ok = ok && BN_mod_mul(v.get(), d.get(), t.get(), p.get(), ctx.get()) == 1;
    ok = ok && BN_mod_add(v.get(), v.get(), one.get(), p.get(), ctx.get()) == 1;
    if (!ok) return std::unexpected(openssl::backend_error("Ed25519 point check"));

    if (BN_is_zero(u.get())) return !sign_bit;  // x = 0 is the only root; -0 is invalid
    // v is never zero for y < p (d is not a square), so x^2 = u / v exists
    // exactly when (u * v^-1)^((p-1)/2) = 1.
    ok = BN_mod_inverse(t.get(), v.get(), p.get(), ctx.get()) != nullptr;
    ok = ok && BN_mod_mul(t.get(), t.get(), u.get(), p.get(), ctx.get()) == 1;
    ok = ok && BN_sub(e.get(), p.get(), one.get()) == 1 && BN_rshift1(e.get(), e.get()) == 1;
    ok = ok && BN_mod_exp(t.get(), t.get(), e.get(), p.get(), ctx.get()) == 1;
    if (!ok) return std::unexpected(openssl::backend_error("Ed25519 point check"));
    return BN_is_one(t.get()) == 1;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, CryptoError> public_key_from_seed(std::span<const std::uint8_t> seed) {
    auto key = private_key(seed);
    if (!key) return std::unexpected(std::move(key.error()));
    std::vector<std::uint8_t> pk(kPublicKeyBytes);
    std::size_t len = pk.size();
    if (EVP_PKEY_get_raw_public_key(key->get(), pk.data(), &len) != 1 || len != kPublicKeyBytes) {
        return std::unexpected(openssl::backend_error("Ed25519 public key"));
    }
    return pk;
}

std::expected<KeyPair, CryptoError> keypair_from_seed(std::span<const std::uint8_t> seed) {
    auto pk = public_key_from_seed(seed);
    if (!pk) return std::unexpected(std::move(pk.error()));
    return KeyPair{ostrel_util::SecretBytes(seed), std::move(*pk)};
}

std::expected<std::vector<std::uint8_t>, CryptoError> sign(std::span<const std::uint8_t> seed,
                                                           std::span<const std::uint8_t> message) {
    auto key = private_key(seed);
    if (!key) return std::unexpected(std::move(key.error()));
    openssl::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key->get()) != 1) {
        return std::unexpected(openssl::backend_error("Ed25519 sign init"));
    }
    std::vector<std::uint8_t> sig(kSignatureBytes);
    std::size_t len = sig.size();
    if (EVP_DigestSign(ctx.get(), sig.data(), &len, message.data(), message.size()) != 1 || len != kSignatureBytes) {
        return std::unexpected(openssl::backend_error("Ed25519 sign"));
    }
    return sig;
}

std::expected<void, CryptoError> check_public_key(std::span<const std::uint8_t> public_key) {
    if (public_key.size() != kPublicKeyBytes) {
        return std::unexpected(openssl::length_error("Ed25519 public key", kPublicKeyBytes, public_key.size()));
    }
    auto on_curve = decodes_to_point(public_key.first<32>());
    if (!on_curve) return std::unexpected(std::move(on_curve.error()));
    if (!*on_curve) {
        return std::unexpected(CryptoError(CryptoError::Kind::InvalidKey, "Ed25519 public key is not a valid curve point"));
    }
    return {};
}

std::expected<void, CryptoError> verify(std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> message,
                                        std::span<const std::uint8_t> signature) {
    if (auto ok = check_public_key(public_key); !ok) return ok;
    if (signature.size() != kSignatureBytes) {
        return std::unexpected(openssl::length_error("Ed25519 signature", kSignatureBytes, signature.size()));
    }
    openssl::PkeyPtr key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
    if (!key) return std::unexpected(openssl::backend_error("Ed25519 public key"));
    openssl::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        return std::unexpected(openssl::backend_error("Ed25519 verify init"));
    }
    const int rc = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size());
    if (rc == 1) return {};
    if (rc == 0) {
        openssl::drain_error_queue();
        return std::unexpected(CryptoError(CryptoError::Kind::VerificationFailed, "Ed25519 signature does not verify"));
    }
    return std::unexpected(openssl::backend_error("Ed25519 verify"));
}

}  // namespace ostrel_pq::crypto::ed25519
