// ML-DSA-65 key generation, signing and verification (FIPS 204 sections 5
// and 6).
//
// Working state lives in heap blocks that are wiped before release, so the
// large matrices stay off the caller's stack and no secret survives the call.
#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>

#include "pq/crypto/keccak.hpp"
#include "pq/crypto/mldsa65.hpp"
#include "pq/crypto/mldsa65_packing.hpp"
#include "pq/crypto/mldsa65_sampling.hpp"
#include "pq/crypto/os_random.hpp"

namespace ostrel_pq::crypto::mldsa65 {

namespace {

using Bytes = std::span<const std::uint8_t>;

template <class T>
struct WipeAndDelete {
    void operator()(T* p) const noexcept {
        ostrel_util::secure_wipe(p, sizeof(T));
        delete p;
    }
};
template <class T>
using WipedBox = std::unique_ptr<T, WipeAndDelete<T>>;

template <class T>
WipedBox<T> make_wiped() {
    static_assert(std::is_trivially_destructible_v<T>);
    return WipedBox<T>(new T{});
}

// The secret key in the form signing uses: s1, s2 and t0 in the NTT domain.
struct ExpandedKey {
    std::uint8_t rho[kSeedBytes];
    std::uint8_t key[kSeedBytes];
    std::uint8_t tr[kTrBytes];
    PolyVecL s1_hat;
    PolyVecK s2_hat;
    PolyVecK t0_hat;
};

struct KeyGenState {
    std::uint8_t expanded_seed[2 * kSeedBytes + kRhoPrimeBytes];  // rho || rho' || K
    Matrix a_hat;
    PolyVecL s1;
    PolyVecK s2;
    PolyVecK t;
    PolyVecK t1;
    PolyVecK t0;
    ExpandedKey ek;
};

struct SignState {
    std::uint8_t mu[kMuBytes];
    std::uint8_t rho_second[kRhoPrimeBytes];
    std::uint8_t c_tilde[kCTildeBytes];
    std::uint8_t w1_encoded[kW1EncodedBytes];
    PolyVecL y;
    PolyVecL z;
    PolyVecL cs1;
    PolyVecK w;
    PolyVecK w1;
    PolyVecK w0;
    PolyVecK cs2;
    PolyVecK ct0;
    PolyVecK w_minus_cs2;
    PolyVecK r;
    PolyVecK h;
    Poly c_hat;
};

struct VerifyState {
    std::uint8_t rho[kSeedBytes];
    std::uint8_t mu[kMuBytes];
    std::uint8_t c_tilde[kCTildeBytes];
    std::uint8_t c_tilde_check[kCTildeBytes];
    std::uint8_t w1_encoded[kW1EncodedBytes];
    Matrix a_hat;
    PolyVecK t1;
    PolyVecL z;
    PolyVecK h;
    PolyVecK w_approx;
    PolyVecK ct1;
    PolyVecK w1;
    Poly c_hat;
};

CryptoError length_error(const char* what, std::size_t expected, std::size_t got) {
    return CryptoError(CryptoError::Kind::InvalidLength, std::string("ML-DSA-65 ") + what + " must be " +
                                                             std::to_string(expected) + " bytes, got " +
                                                             std::to_string(got));
}

CryptoError context_error(std::size_t got) {
    return CryptoError(CryptoError::Kind::InvalidLength,
                       "ML-DSA-65 context string must be at most 255 bytes, got " + std::to_string(got));
}

// FIPS 204 Algorithm 6 (ML-DSA.KeyGen_internal), producing the encoded
// public key and the expanded key that signing needs; also the matrix A-hat.
void keygen_core(std::span<const std::uint8_t, kSeedBytes> xi, KeyGenState& st, std::span<std::uint8_t, kPublicKeyBytes> pk) {
    // (rho, rho', K) = H(xi || k || l, 128)
    Shake256 h;
    h.absorb(xi);
    const std::uint8_t kl[2] = {static_cast<std::uint8_t>(kK), static_cast<std::uint8_t>(kL)};
    h.absorb(kl);
    h.squeeze(st.expanded_seed);
    const auto rho = std::span(st.expanded_seed).first<kSeedBytes>();
    const auto rho_prime = std::span(st.expanded_seed).subspan<kSeedBytes, kRhoPrimeBytes>();
    const auto key = std::span(st.expanded_seed).subspan<kSeedBytes + kRhoPrimeBytes, kSeedBytes>();

    expand_a(st.a_hat, rho);
    expand_s(st.s1, st.s2, rho_prime);

    // t = NTT^-1(A-hat o NTT(s1)) + s2
    st.ek.s1_hat = st.s1;
    polyvecl_ntt(st.ek.s1_hat);
    matrix_pointwise_montgomery(st.t, st.a_hat, st.ek.s1_hat);
    polyveck_invntt_from_montgomery(st.t);
    polyveck_add(st.t, st.t, st.s2);
    polyveck_freeze(st.t);
    polyveck_power2round(st.t1, st.t0, st.t);

    pk_encode(pk, rho, st.t1);
    // tr = H(pk, 64)
    Shake256 htr;
    htr.absorb(pk);
    htr.squeeze(st.ek.tr);

    std::copy(rho.begin(), rho.end(), st.ek.rho);
    std::copy(key.begin(), key.end(), st.ek.key);
    st.ek.s2_hat = st.s2;
    polyveck_ntt(st.ek.s2_hat);
    st.ek.t0_hat = st.t0;
    polyveck_ntt(st.ek.t0_hat);
}

// mu = H(tr || M', 64) with M' given in pieces (FIPS 204 Algorithm 7 line 6).
void compute_mu(std::uint8_t mu[kMuBytes], std::span<const std::uint8_t, kTrBytes> tr,
                std::initializer_list<Bytes> message_prime) {
    Shake256 h;
    h.absorb(tr);
    for (const auto& part : message_prime) h.absorb(part);
    h.squeeze(std::span(mu, kMuBytes));
}

// FIPS 204 Algorithm 7 (ML-DSA.Sign_internal), lines 7 onwards: the
// rejection-sampling loop. Every pass computes a complete candidate; only the
// final accept/reject decision is revealed by a branch, as FIPS 204 allows.
// Returns false when no candidate was accepted within kMaxSignAttempts.
bool sign_core(const ExpandedKey& ek, const Matrix& a_hat, SignState& st,
               std::span<const std::uint8_t, kRndBytes> rnd, std::span<std::uint8_t, kSignatureBytes> sig) {
    // rho'' = H(K || rnd || mu, 64)
    {
        Shake256 h;
        h.absorb(ek.key);
        h.absorb(rnd);
        h.absorb(st.mu);
        h.squeeze(st.rho_second);
    }
    std::uint16_t kappa = 0;
    for (int attempt = 0; attempt < kMaxSignAttempts; ++attempt, kappa = static_cast<std::uint16_t>(kappa + kL)) {
        // y = ExpandMask(rho'', kappa); w = NTT^-1(A-hat o NTT(y))
        expand_mask(st.y, st.rho_second, kappa);
        st.z = st.y;
        polyvecl_ntt(st.z);  // z holds NTT(y) for the moment
        matrix_pointwise_montgomery(st.w, a_hat, st.z);
        polyveck_invntt_from_montgomery(st.w);
        polyveck_freeze(st.w);

        // w1 = HighBits(w); c~ = H(mu || w1Encode(w1), 48)
        polyveck_decompose(st.w1, st.w0, st.w);
        w1_encode(st.w1_encoded, st.w1);
        {
            Shake256 h;
            h.absorb(st.mu);
            h.absorb(st.w1_encoded);
            h.squeeze(st.c_tilde);
        }
        sample_in_ball(st.c_hat, st.c_tilde);
        poly_ntt(st.c_hat);

        // <<c s1>>, <<c s2>> as exact small integers
        polyvecl_pointwise_poly_montgomery(st.cs1, st.c_hat, ek.s1_hat);
        polyvecl_invntt_from_montgomery(st.cs1);
        polyvecl_center(st.cs1);
        polyveck_pointwise_poly_montgomery(st.cs2, st.c_hat, ek.s2_hat);
        polyveck_invntt_from_montgomery(st.cs2);
        polyveck_center(st.cs2);

        // z = y + <<c s1>>; r0 = LowBits(w - <<c s2>>)
        polyvecl_add(st.z, st.y, st.cs1);
        polyveck_sub(st.w_minus_cs2, st.w, st.cs2);
        polyveck_freeze(st.w_minus_cs2);
        polyveck_decompose(st.r, st.w0, st.w_minus_cs2);  // st.w0 now holds r0
        const bool reject_z = polyvecl_norm_at_least(st.z, kGamma1 - kBeta);
        const bool reject_r0 = polyveck_norm_at_least(st.w0, kGamma2 - kBeta);
        if (reject_z | reject_r0) continue;

        // <<c t0>>; h = MakeHint(-<<c t0>>, w - <<c s2>> + <<c t0>>)
        polyveck_pointwise_poly_montgomery(st.ct0, st.c_hat, ek.t0_hat);
        polyveck_invntt_from_montgomery(st.ct0);
        polyveck_center(st.ct0);
        polyveck_add(st.r, st.w_minus_cs2, st.ct0);
        polyveck_freeze(st.r);
        const int ones = polyveck_make_hint(st.h, st.r, st.w_minus_cs2);
        const bool reject_ct0 = polyveck_norm_at_least(st.ct0, kGamma2);
        if (reject_ct0 | (ones > kOmega)) continue;

        sig_encode(sig, st.c_tilde, st.z, st.h);
        return true;
    }
    return false;
}

std::expected<Signature, CryptoError> attempts_exhausted() {
    return std::unexpected(CryptoError(CryptoError::Kind::Backend,
                                       "ML-DSA-65 signing found no signature within " +
                                           std::to_string(kMaxSignAttempts) + " attempts"));
}

// Decodes an encoded secret key into the NTT-domain form and expands A-hat.
std::expected<void, CryptoError> load_secret_key(Bytes secret_key, ExpandedKey& ek, Matrix& a_hat) {
    if (secret_key.size() != kSecretKeyBytes) return std::unexpected(length_error("secret key", kSecretKeyBytes, secret_key.size()));
    struct Decoded {
        PolyVecL s1;
        PolyVecK s2;
        PolyVecK t0;
    };
    auto d = make_wiped<Decoded>();
    const bool in_range = sk_decode(std::span(ek.rho), std::span(ek.key), std::span(ek.tr), d->s1, d->s2, d->t0,
                                    secret_key.first<kSecretKeyBytes>());
    if (!in_range) {
        return std::unexpected(CryptoError(CryptoError::Kind::InvalidKey,
                                           "ML-DSA-65 secret key has s1 or s2 coefficients outside [-4, 4]"));
    }
    ek.s1_hat = d->s1;
    polyvecl_ntt(ek.s1_hat);
    ek.s2_hat = d->s2;
    polyveck_ntt(ek.s2_hat);
    ek.t0_hat = d->t0;
    polyveck_ntt(ek.t0_hat);
    expand_a(a_hat, std::span(ek.rho));
    return {};
}

std::expected<Signature, CryptoError> sign_loaded(const ExpandedKey& ek, const Matrix& a_hat,
                                                  std::initializer_list<Bytes> message_prime,
                                                  std::span<const std::uint8_t, kRndBytes> rnd) {
    auto st = make_wiped<SignState>();
    compute_mu(st->mu, std::span(ek.tr), message_prime);
    Signature sig;
    if (!sign_core(ek, a_hat, *st, rnd, sig)) return attempts_exhausted();
    return sig;
}

struct LoadedKey {
    ExpandedKey ek;
    Matrix a_hat;
};

// M' = 0 || |ctx| || ctx || M (FIPS 204 Algorithm 2 line 10 / Algorithm 3 line 5).
struct PureHeader {
    std::uint8_t bytes[2];
    explicit PureHeader(std::size_t ctx_len) : bytes{0, static_cast<std::uint8_t>(ctx_len)} {}
    Bytes span() const { return Bytes(bytes, 2); }
};

// FIPS 204 Algorithm 8 (ML-DSA.Verify_internal) with mu already computed.
bool verify_core(const PublicKey& pk, VerifyState& st, std::span<const std::uint8_t, kSignatureBytes> sig) {
    pk_decode(std::span(st.rho), st.t1, pk);
    if (!sig_decode(std::span(st.c_tilde), st.z, st.h, sig)) return false;
    // The norm check of the final line, done first: all of this is public.
    if (polyvecl_norm_at_least(st.z, kGamma1 - kBeta)) return false;

    expand_a(st.a_hat, std::span(st.rho));
    sample_in_ball(st.c_hat, st.c_tilde);
    poly_ntt(st.c_hat);

    // w'Approx = NTT^-1(A-hat o NTT(z) - NTT(c) o NTT(t1 * 2^d))
    polyvecl_ntt(st.z);
    matrix_pointwise_montgomery(st.w_approx, st.a_hat, st.z);
    polyveck_shift_left_d(st.t1);
    polyveck_ntt(st.t1);
    polyveck_pointwise_poly_montgomery(st.ct1, st.c_hat, st.t1);
    polyveck_sub(st.w_approx, st.w_approx, st.ct1);
    polyveck_invntt_from_montgomery(st.w_approx);
    polyveck_freeze(st.w_approx);

    // w1' = UseHint(h, w'Approx); c~' = H(mu || w1Encode(w1'), 48)
    polyveck_use_hint(st.w1, st.h, st.w_approx);
    w1_encode(st.w1_encoded, st.w1);
    Shake256 h;
    h.absorb(st.mu);
    h.absorb(st.w1_encoded);
    h.squeeze(st.c_tilde_check);
    return std::equal(std::begin(st.c_tilde), std::end(st.c_tilde), std::begin(st.c_tilde_check));
}

}  // namespace

// FIPS 204 Algorithm 6 (ML-DSA.KeyGen_internal)
KeyPair keygen_internal(std::span<const std::uint8_t, kSeedBytes> xi) {
    auto st = make_wiped<KeyGenState>();
    KeyPair kp{ostrel_util::SecretBytes(xi), {}, ostrel_util::SecretBytes(kSecretKeyBytes)};
    keygen_core(xi, *st, kp.public_key);
    sk_encode(kp.secret_key.span().first<kSecretKeyBytes>(), std::span(st->ek.rho), std::span(st->ek.key),
              std::span(st->ek.tr), st->s1, st->s2, st->t0);
    return kp;
}

// FIPS 204 Algorithm 1 (ML-DSA.KeyGen)
std::expected<KeyPair, CryptoError> keygen() {
    std::array<std::uint8_t, kSeedBytes> xi;
    ostrel_util::WipeOnExit wipe(xi);
    if (auto r = os_random_fill(xi); !r) return std::unexpected(r.error());
    return keygen_internal(xi);
}

// FIPS 204 Algorithm 7 (ML-DSA.Sign_internal)
std::expected<Signature, CryptoError> sign_internal(Bytes secret_key, Bytes message_prime,
                                                    std::span<const std::uint8_t, kRndBytes> rnd) {
    auto key = make_wiped<LoadedKey>();
    if (auto r = load_secret_key(secret_key, key->ek, key->a_hat); !r) return std::unexpected(r.error());
    return sign_loaded(key->ek, key->a_hat, {message_prime}, rnd);
}

// FIPS 204 Algorithm 2 (ML-DSA.Sign)
std::expected<Signature, CryptoError> sign(Bytes secret_key, Bytes message, Bytes context,
                                           std::span<const std::uint8_t, kRndBytes> rnd) {
    if (context.size() > kMaxContextBytes) return std::unexpected(context_error(context.size()));
    auto key = make_wiped<LoadedKey>();
    if (auto r = load_secret_key(secret_key, key->ek, key->a_hat); !r) return std::unexpected(r.error());
    const PureHeader header(context.size());
    return sign_loaded(key->ek, key->a_hat, {header.span(), context, message}, rnd);
}

std::expected<Signature, CryptoError> sign_randomized(Bytes secret_key, Bytes message, Bytes context) {
    std::array<std::uint8_t, kRndBytes> rnd;
    ostrel_util::WipeOnExit wipe(rnd);
    if (auto r = os_random_fill(rnd); !r) return std::unexpected(r.error());
    return sign(secret_key, message, context, rnd);
}

std::expected<Signature, CryptoError> sign_with_seed(Bytes xi, Bytes message, Bytes context,
                                                     std::span<const std::uint8_t, kRndBytes> rnd) {
    if (xi.size() != kSeedBytes) return std::unexpected(length_error("seed", kSeedBytes, xi.size()));
    if (context.size() > kMaxContextBytes) return std::unexpected(context_error(context.size()));
    auto st = make_wiped<KeyGenState>();
    PublicKey pk;
    keygen_core(xi.first<kSeedBytes>(), *st, pk);
    const PureHeader header(context.size());
    return sign_loaded(st->ek, st->a_hat, {header.span(), context, message}, rnd);
}

std::expected<void, CryptoError> check_signature_encoding(Bytes signature) {
    if (signature.size() != kSignatureBytes) return std::unexpected(length_error("signature", kSignatureBytes, signature.size()));
    auto h = make_wiped<PolyVecK>();
    if (!hint_bit_unpack(*h, signature.last<kOmega + kK>())) {
        return std::unexpected(
            CryptoError(CryptoError::Kind::VerificationFailed, "ML-DSA-65 signature encoding is malformed"));
    }
    return {};
}

std::expected<VerifyingKey, CryptoError> VerifyingKey::from_bytes(Bytes public_key) {
    if (public_key.size() != kPublicKeyBytes) return std::unexpected(length_error("public key", kPublicKeyBytes, public_key.size()));
    VerifyingKey vk;
    std::copy(public_key.begin(), public_key.end(), vk.pk_.begin());
    Shake256 h;
    h.absorb(vk.pk_);
    h.squeeze(vk.tr_);
    return vk;
}

// FIPS 204 Algorithm 8 (ML-DSA.Verify_internal)
bool VerifyingKey::verify_internal(Bytes message_prime, Bytes signature) const {
    if (signature.size() != kSignatureBytes) return false;
    auto st = make_wiped<VerifyState>();
    compute_mu(st->mu, tr_, {message_prime});
    return verify_core(pk_, *st, signature.first<kSignatureBytes>());
}

// FIPS 204 Algorithm 3 (ML-DSA.Verify)
std::expected<void, CryptoError> VerifyingKey::verify(Bytes message, Bytes context, Bytes signature) const {
    if (context.size() > kMaxContextBytes) return std::unexpected(context_error(context.size()));
    if (auto r = check_signature_encoding(signature); !r) return r;
    auto st = make_wiped<VerifyState>();
    const PureHeader header(context.size());
    compute_mu(st->mu, tr_, {header.span(), context, message});
    if (!verify_core(pk_, *st, signature.first<kSignatureBytes>())) {
        return std::unexpected(CryptoError(CryptoError::Kind::VerificationFailed, "ML-DSA-65 signature does not verify"));
    }
    return {};
}

bool verify(Bytes public_key, Bytes message, Bytes context, Bytes signature) {
    auto vk = VerifyingKey::from_bytes(public_key);
    return vk && vk->verify(message, context, signature).has_value();
}

bool verify_internal(Bytes public_key, Bytes message_prime, Bytes signature) {
    auto vk = VerifyingKey::from_bytes(public_key);
    return vk && vk->verify_internal(message_prime, signature);
}

}  // namespace ostrel_pq::crypto::mldsa65
