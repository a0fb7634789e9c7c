// ML-DSA-65 signatures (FIPS 204, parameter set ML-DSA-65).
//
// Promises, for every function below:
// - Byte-exact FIPS 204 encodings: public keys of 1952 bytes, expanded
//   secret keys of 4032 bytes, signatures of 3309 bytes.
// - Constant time with respect to secret data: no branch or memory index
//   depends on seeds, secret keys, the mask y or intermediate values derived
//   from them. What may vary is what FIPS 204 lets vary: the number of
//   rejection-sampling passes of signing (each rejected pass is discarded
//   whole) and, in the samplers, which candidates are rejected (so how much
//   SHAKE output is consumed and which output slot the next accepted value
//   goes to); rejected candidates are independent of the accepted values.
// - Secret intermediates (the seed expansion, s1, s2, t0, K, rho', rho'', y
//   and everything computed from them) are wiped before returning; secret
//   results are returned in self-wiping ostrel_util::SecretBytes.
// - Errors are values (CryptoError); nothing throws except std::bad_alloc.
// - Thread-safe: no shared mutable state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "pq/crypto/crypto_error.hpp"
#include "pq/crypto/mldsa65_params.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::mldsa65 {

inline constexpr std::size_t kRndBytes = 32;
inline constexpr std::size_t kMaxContextBytes = 255;
// Upper bound on rejection-sampling passes of one signature. A correct key
// needs about 5 on average; the chance of needing this many is below 2^-3000,
// so reaching it means the secret key is not a valid key. Well above the
// minimum FIPS 204 Appendix C allows an implementation to set.
inline constexpr int kMaxSignAttempts = 10000;

using PublicKey = std::array<std::uint8_t, kPublicKeyBytes>;
using Signature = std::array<std::uint8_t, kSignatureBytes>;

// The deterministic variant of signing uses 32 zero bytes as rnd.
inline constexpr std::array<std::uint8_t, kRndBytes> kDeterministicRnd{};

struct KeyPair {
    ostrel_util::SecretBytes seed;        // xi, 32 bytes
    PublicKey public_key;                 // pkEncode(rho, t1)
    ostrel_util::SecretBytes secret_key;  // skEncode(rho, K, tr, s1, s2, t0), 4032 bytes
};

// FIPS 204 Algorithm 6 (ML-DSA.KeyGen_internal): the key pair determined by
// the 32-byte seed xi. Cannot fail.
KeyPair keygen_internal(std::span<const std::uint8_t, kSeedBytes> xi);

// FIPS 204 Algorithm 1 (ML-DSA.KeyGen): draws xi from the operating system's
// random source. Fails only with a RandomSource error.
std::expected<KeyPair, CryptoError> keygen();

// FIPS 204 Algorithm 7 (ML-DSA.Sign_internal): signs the already formatted
// message M' with the expanded secret key and the 32-byte randomness rnd.
// Errors: InvalidLength (sk not 4032 bytes), InvalidKey (s1 or s2 outside
// [-4, 4]), Backend (no signature within kMaxSignAttempts passes).
std::expected<Signature, CryptoError> sign_internal(std::span<const std::uint8_t> secret_key,
                                                    std::span<const std::uint8_t> message_prime,
                                                    std::span<const std::uint8_t, kRndBytes> rnd);

// FIPS 204 Algorithm 2 (ML-DSA.Sign), pure signing with context string ctx:
// M' = 0x00 || len(ctx) || ctx || message. rnd = kDeterministicRnd gives the
// deterministic variant. Errors: as sign_internal, plus InvalidLength for a
// context longer than 255 bytes.
std::expected<Signature, CryptoError> sign(std::span<const std::uint8_t> secret_key,
                                           std::span<const std::uint8_t> message,
                                           std::span<const std::uint8_t> context,
                                           std::span<const std::uint8_t, kRndBytes> rnd);

// ML-DSA.Sign in its hedged (default) variant: rnd drawn from the operating
// system's random source. Errors: as sign, plus RandomSource.
std::expected<Signature, CryptoError> sign_randomized(std::span<const std::uint8_t> secret_key,
                                                      std::span<const std::uint8_t> message,
                                                      std::span<const std::uint8_t> context);

// KeyGen_internal(xi) followed by ML-DSA.Sign with the resulting secret key,
// for callers that store only the seed. The same signature as
// sign(keygen_internal(xi).secret_key, ...). Errors: InvalidLength (xi not
// 32 bytes, context longer than 255 bytes), Backend (as sign_internal).
std::expected<Signature, CryptoError> sign_with_seed(std::span<const std::uint8_t> xi,
                                                     std::span<const std::uint8_t> message,
                                                     std::span<const std::uint8_t> context,
                                                     std::span<const std::uint8_t, kRndBytes> rnd);

// Checks the form of an encoded signature without a key: its length
// (InvalidLength) and the hint encoding of FIPS 204 Algorithm 21
// (VerificationFailed). Every accepted signature passes this check.
std::expected<void, CryptoError> check_signature_encoding(std::span<const std::uint8_t> signature);

// A decoded public key with its hash tr = H(pk, 64) computed once.
class VerifyingKey {
public:
    // Any 1952-byte string is a valid encoding (FIPS 204 Algorithm 23);
    // other lengths are InvalidLength.
    static std::expected<VerifyingKey, CryptoError> from_bytes(std::span<const std::uint8_t> public_key);

    const PublicKey& bytes() const noexcept { return pk_; }

    // FIPS 204 Algorithm 8 (ML-DSA.Verify_internal) on the formatted message
    // M'. Rejects (false) a signature of the wrong length, a malformed hint
    // encoding, ||z|| >= gamma1 - beta and a c~ mismatch.
    bool verify_internal(std::span<const std::uint8_t> message_prime,
                         std::span<const std::uint8_t> signature) const;

    // FIPS 204 Algorithm 3 (ML-DSA.Verify) with context string ctx. Success,
    // or: InvalidLength (context over 255 bytes, signature not 3309 bytes),
    // VerificationFailed with "ML-DSA-65 signature encoding is malformed" or
    // "ML-DSA-65 signature does not verify".
    std::expected<void, CryptoError> verify(std::span<const std::uint8_t> message,
                                            std::span<const std::uint8_t> context,
                                            std::span<const std::uint8_t> signature) const;

private:
    VerifyingKey() = default;
    PublicKey pk_{};
    std::array<std::uint8_t, kTrBytes> tr_{};
};

// FIPS 204 Algorithm 3 (ML-DSA.Verify) as a yes/no answer: false for every
// failure, including a public key or context of the wrong length.
bool verify(std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> message,
            std::span<const std::uint8_t> context, std::span<const std::uint8_t> signature);

// FIPS 204 Algorithm 8 (ML-DSA.Verify_internal) on the formatted message M'.
bool verify_internal(std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> message_prime,
                     std::span<const std::uint8_t> signature);

}  // namespace ostrel_pq::crypto::mldsa65
