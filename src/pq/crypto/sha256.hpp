// SHA-256 (FIPS 180-4) through OpenSSL's EVP interface, one-shot and
// streaming. Failures can only come from OpenSSL itself (allocation or a
// provider without SHA-256) and are reported as Backend errors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "pq/crypto/crypto_error.hpp"

namespace ostrel_pq::crypto {

inline constexpr std::size_t kSha256DigestBytes = 32;
using Sha256Digest = std::array<std::uint8_t, kSha256DigestBytes>;

// SHA-256 of `data`.
std::expected<Sha256Digest, CryptoError> sha256(std::span<const std::uint8_t> data);

// Streaming SHA-256: update() any number of times, then finish() once; the
// result equals sha256() of the concatenated updates. An OpenSSL failure in
// update() is remembered and returned by finish(), so no wrong digest is
// ever produced. After finish() the hasher is reset to the empty message.
// Movable, not copyable; not thread-safe (one hasher per thread).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    Sha256& update(std::span<const std::uint8_t> data) noexcept;
    std::expected<Sha256Digest, CryptoError> finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ostrel_pq::crypto
