// Modular reduction for ML-DSA coefficients (q = 8380417), all branch-free so
// they may be applied to secret values. Internal to the ML-DSA-65
// implementation.
//
// Montgomery arithmetic uses R = 2^32: montgomery_reduce(a) = a * R^-1 mod q.
#pragma once

#include <cstdint>

#include "pq/crypto/mldsa65_params.hpp"

namespace ostrel_pq::crypto::mldsa65 {

namespace detail {
// q^-1 mod 2^32 by Newton iteration (each step doubles the correct bits).
constexpr std::uint32_t inverse_mod_2_32(std::uint32_t x) {
    std::uint32_t inv = x;  // correct to 3 bits for odd x
    for (int i = 0; i < 5; ++i) inv *= 2u - x * inv;
    return inv;
}
constexpr std::int32_t pow_mod(std::int64_t base, std::uint64_t exp) {
    std::int64_t result = 1;
    base %= kQ;
    if (base < 0) base += kQ;
    while (exp > 0) {
        if (exp & 1) result = result * base % kQ;
        base = base * base % kQ;
        exp >>= 1;
    }
    return static_cast<std::int32_t>(result);
}
}  // namespace detail

inline constexpr std::uint32_t kQInv = detail::inverse_mod_2_32(static_cast<std::uint32_t>(kQ));
static_assert(static_cast<std::uint32_t>(kQ) * kQInv == 1u);
// R mod q, with R = 2^32.
inline constexpr std::int32_t kMont = detail::pow_mod(2, 32);

// For |a| < 2^31 q returns r = a * 2^-32 mod q with -q < r < q.
constexpr std::int32_t montgomery_reduce(std::int64_t a) noexcept {
    const std::int32_t t = static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * kQInv);
    return static_cast<std::int32_t>((a - static_cast<std::int64_t>(t) * kQ) >> 32);
}

// For a <= 2^31 - 2^22 - 1 returns r = a mod q with -6283009 <= r <= 6283008.
constexpr std::int32_t reduce32(std::int32_t a) noexcept {
    const std::int32_t t = (a + (1 << 22)) >> 23;
    return a - t * kQ;
}

// Adds q if a is negative: maps (-q, q) to [0, q).
constexpr std::int32_t caddq(std::int32_t a) noexcept { return a + ((a >> 31) & kQ); }

// Canonical representative in [0, q) (for a in the domain of reduce32).
constexpr std::int32_t freeze(std::int32_t a) noexcept { return caddq(reduce32(a)); }

// Centred representative a mod+- q in [-(q-1)/2, (q-1)/2].
constexpr std::int32_t center(std::int32_t a) noexcept {
    const std::int32_t f = freeze(a);
    return f - ((((kQ - 1) / 2) - f) >> 31 & kQ);
}

}  // namespace ostrel_pq::crypto::mldsa65
