// HKDF with SHA-256 (RFC 5869) through OpenSSL's EVP_KDF interface. Key
// material goes in as spans (typically of SecretBytes) and comes out in a
// SecretBytes. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "pq/crypto/crypto_error.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::hkdf_sha256 {

inline constexpr std::size_t kHashBytes = 32;
inline constexpr std::size_t kMaxOutputBytes = 255 * kHashBytes;  // RFC 5869 section 2.3

// HKDF-Extract then HKDF-Expand: `length` bytes of output keying material
// from input keying material `ikm`, `salt` (empty means HashLen zero bytes,
// as RFC 5869 section 2.2 specifies) and context `info`. InvalidLength for a
// length of 0 or above 8160.
std::expected<ostrel_util::SecretBytes, CryptoError> derive(std::span<const std::uint8_t> ikm,
                                                            std::span<const std::uint8_t> salt,
                                                            std::span<const std::uint8_t> info, std::size_t length);

// HKDF-Extract (RFC 5869 section 2.2): the 32-byte pseudorandom key.
std::expected<ostrel_util::SecretBytes, CryptoError> extract(std::span<const std::uint8_t> salt,
                                                             std::span<const std::uint8_t> ikm);

// HKDF-Expand (RFC 5869 section 2.3) of a pseudorandom key of at least 32
// bytes (InvalidLength otherwise); length as for derive().
std::expected<ostrel_util::SecretBytes, CryptoError> expand(std::span<const std::uint8_t> prk,
                                                            std::span<const std::uint8_t> info, std::size_t length);

}  // namespace ostrel_pq::crypto::hkdf_sha256
