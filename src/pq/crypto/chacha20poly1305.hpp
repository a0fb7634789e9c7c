// ChaCha20-Poly1305 authenticated encryption with associated data
// (RFC 8439 section 2.8) through OpenSSL's EVP interface: 32-byte key,
// 12-byte nonce, 16-byte tag appended to the ciphertext. A nonce must never
// be reused with the same key. Thread-safe: every call uses its own context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "pq/crypto/crypto_error.hpp"

namespace ostrel_pq::crypto::chacha20poly1305 {

inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kNonceBytes = 12;
inline constexpr std::size_t kTagBytes = 16;

// Encrypts `plaintext` and authenticates it together with `aad`. Returns
// ciphertext || tag (plaintext.size() + 16 bytes). InvalidLength for a key
// or nonce of the wrong size.
std::expected<std::vector<std::uint8_t>, CryptoError> seal(std::span<const std::uint8_t> key,
                                                           std::span<const std::uint8_t> nonce,
                                                           std::span<const std::uint8_t> plaintext,
                                                           std::span<const std::uint8_t> aad);

// Checks the tag over `aad` and the ciphertext of `sealed` = ciphertext ||
// tag and returns the plaintext. InvalidLength for a key or nonce of the
// wrong size or `sealed` shorter than the tag; VerificationFailed when the
// tag does not match (no plaintext is released then: the buffer that held
// the tentative decryption is wiped).
std::expected<std::vector<std::uint8_t>, CryptoError> open(std::span<const std::uint8_t> key,
                                                           std::span<const std::uint8_t> nonce,
                                                           std::span<const std::uint8_t> sealed,
                                                           std::span<const std::uint8_t> aad);

}  // namespace ostrel_pq::crypto::chacha20poly1305
