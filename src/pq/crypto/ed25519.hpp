// Ed25519 signatures (RFC 8032, pure Ed25519: no pre-hash, no context)
// through OpenSSL's EVP interface. A secret key is the 32-byte seed of
// RFC 8032 section 5.1.5; it is passed as a span (typically of a SecretBytes)
// and never copied outside OpenSSL, which wipes its own copy when freed.
// Thread-safe: every call uses its own OpenSSL objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "pq/crypto/crypto_error.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::ed25519 {

inline constexpr std::size_t kSeedBytes = 32;
inline constexpr std::size_t kPublicKeyBytes = 32;
inline constexpr std::size_t kSignatureBytes = 64;

struct KeyPair {
    ostrel_util::SecretBytes seed;         // 32 bytes
    std::vector<std::uint8_t> public_key;  // 32 bytes
};

// The public key of a 32-byte seed (InvalidLength otherwise).
std::expected<std::vector<std::uint8_t>, CryptoError> public_key_from_seed(std::span<const std::uint8_t> seed);

// Copies the seed into a KeyPair together with its public key.
std::expected<KeyPair, CryptoError> keypair_from_seed(std::span<const std::uint8_t> seed);

// The 64-byte signature of `message` under the key of `seed`. Deterministic
// (RFC 8032): the same seed and message always give the same signature.
std::expected<std::vector<std::uint8_t>, CryptoError> sign(std::span<const std::uint8_t> seed,
                                                           std::span<const std::uint8_t> message);

// Checks that 32 bytes decode to a point of the curve (RFC 8032 section
// 5.1.3): y below p = 2^255 - 19, x recoverable from y, and not the encoding
// "x = 0 with the sign bit set". InvalidLength or InvalidKey otherwise.
std::expected<void, CryptoError> check_public_key(std::span<const std::uint8_t> public_key);

// Verifies `signature` over `message`. Errors: InvalidLength for a key that
// is not 32 bytes or a signature that is not 64, InvalidKey for a key that
// does not decode to a curve point, VerificationFailed for a signature that
// does not verify.
std::expected<void, CryptoError> verify(std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> message,
                                        std::span<const std::uint8_t> signature);

}  // namespace ostrel_pq::crypto::ed25519
