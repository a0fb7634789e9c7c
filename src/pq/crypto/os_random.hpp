// Random bytes from the operating system's random source (getrandom(2),
// blocking until the kernel pool is initialised). Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "pq/crypto/crypto_error.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto {

// Fills `out` completely, or returns a RandomSource error whose detail is the
// operating system's error text (for example "Function not implemented").
// On error `out` is zeroed, so no partial draw is left behind.
std::expected<void, CryptoError> os_random_fill(std::span<std::uint8_t> out) noexcept;

// A fresh SecretBytes of n random bytes.
std::expected<ostrel_util::SecretBytes, CryptoError> os_random_secret(std::size_t n);

}  // namespace ostrel_pq::crypto
