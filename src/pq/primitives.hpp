// The cryptographic operations keys, signatures and tokens are built from,
// in the shapes this layer uses them: seeds in, encoded keys and signatures
// out, primitive failures as message texts that the callers embed in their
// own error values. Internal to ostrel_pq.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "util/secret_buffer.hpp"

namespace ostrel_pq::primitives {

using Bytes = std::vector<std::uint8_t>;

// Fills `out` from the operating system's random source; the error is the
// operating system's message.
std::expected<void, std::string> random_fill(std::span<std::uint8_t> out);

// ML-DSA-65 (FIPS 204) from the 32-byte seed xi: the encoded verifying key.
// The expanded secret key is wiped before returning.
Bytes ml_dsa_verifying_key_from_seed(std::span<const std::uint8_t, 32> xi);

// ML-DSA.Sign with the empty context, deterministic variant (rnd = 0^32),
// after re-deriving the signing key from the seed. The error is the
// primitive's message.
std::expected<Bytes, std::string> ml_dsa_sign(std::span<const std::uint8_t, 32> xi,
                                              std::span<const std::uint8_t> message);

// ML-KEM-768 (FIPS 203) from the 64-byte seed d || z: the encoded
// encapsulation key.
std::expected<Bytes, std::string> ml_kem_encapsulation_key_from_seed(std::span<const std::uint8_t> seed);

// Ed25519 (RFC 8032): public key of a 32-byte secret seed, and pure signing.
std::expected<Bytes, std::string> ed25519_public_key(std::span<const std::uint8_t, 32> seed);
std::expected<Bytes, std::string> ed25519_sign(std::span<const std::uint8_t, 32> seed,
                                               std::span<const std::uint8_t> message);

// Ed25519 verification, split the way callers report it: first that the
// verifying key decodes to a curve point, then that the 64-byte signature
// verifies. Lengths are checked by the callers. Errors are the primitive's
// messages.
std::expected<void, std::string> ed25519_check_key(std::span<const std::uint8_t, 32> verifying_key);
std::expected<void, std::string> ed25519_verify(std::span<const std::uint8_t, 32> verifying_key,
                                                std::span<const std::uint8_t> message,
                                                std::span<const std::uint8_t, 64> signature);

// X25519 (RFC 7748): the public key of a 32-byte static secret.
std::expected<Bytes, std::string> x25519_public_key(std::span<const std::uint8_t, 32> secret);

}  // namespace ostrel_pq::primitives
