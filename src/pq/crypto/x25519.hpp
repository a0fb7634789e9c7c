// X25519 key agreement (RFC 7748) through OpenSSL's EVP interface. Secrets
// are passed as spans (typically of a SecretBytes) and returned in
// SecretBytes. Thread-safe: every call uses its own OpenSSL objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "pq/crypto/crypto_error.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::x25519 {

inline constexpr std::size_t kSecretKeyBytes = 32;
inline constexpr std::size_t kPublicKeyBytes = 32;
inline constexpr std::size_t kSharedSecretBytes = 32;

struct KeyPair {
    ostrel_util::SecretBytes secret_key;   // 32 bytes
    std::vector<std::uint8_t> public_key;  // 32 bytes
};

// X25519(secret, 9): the public key of a 32-byte secret (clamped as RFC 7748
// section 5 prescribes). InvalidLength for a secret that is not 32 bytes.
std::expected<std::vector<std::uint8_t>, CryptoError> public_key_from_secret(std::span<const std::uint8_t> secret);

// Copies the secret into a KeyPair together with its public key.
std::expected<KeyPair, CryptoError> keypair_from_secret(std::span<const std::uint8_t> secret);

// X25519(secret, peer_public). InvalidLength for inputs that are not 32
// bytes; InvalidKey when the result is all zeros, which happens exactly when
// the peer sent a point of small order (RFC 7748 section 6.1 allows callers
// to refuse it, and we do: such a secret carries no contribution from us).
std::expected<ostrel_util::SecretBytes, CryptoError> shared_secret(std::span<const std::uint8_t> secret,
                                                                   std::span<const std::uint8_t> peer_public);

}  // namespace ostrel_pq::crypto::x25519
