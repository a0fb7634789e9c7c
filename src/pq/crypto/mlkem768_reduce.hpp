// Modular reduction modulo q = 3329 on 16-bit signed coefficients.
//
// Coefficients are kept as int16_t in a "loose" representative (any value
// congruent mod q within the bound each function states) and brought into
// [0, q) only where FIPS 203 needs canonical values (encoding, compression).
// Every function here is branch-free and uses no table, so it is
// constant-time in its inputs.
#pragma once

#include <cstdint>

#include "pq/crypto/mlkem768_params.hpp"

namespace ostrel_pq::crypto::mlkem {

namespace detail {
// q^-1 mod 2^16, by Newton iteration x <- x * (2 - q x) (each step doubles
// the number of correct low bits, starting from x = q, correct to 3 bits).
constexpr std::uint32_t inverse_of_q_mod_2_16() {
    std::uint32_t x = static_cast<std::uint32_t>(kQ);
    for (int i = 0; i < 5; ++i) x = (x * (2u - static_cast<std::uint32_t>(kQ) * x)) & 0xFFFFu;
    return x;
}
}  // namespace detail

// Montgomery radix R = 2^16.
inline constexpr std::int32_t kMontR = (1 << 16) % kQ;                                     // R mod q
inline constexpr std::int32_t kMontR2 = static_cast<std::int32_t>((std::int64_t{1} << 32) % kQ);  // R^2 mod q
inline constexpr std::uint32_t kQInv = detail::inverse_of_q_mod_2_16();
static_assert(((kQInv * static_cast<std::uint32_t>(kQ)) & 0xFFFFu) == 1u);

// Returns a * R^-1 mod q as a value in (-q, q), for |a| < q * 2^15.
constexpr std::int16_t montgomery_reduce(std::int32_t a) noexcept {
    // t = a * q^-1 mod 2^16 as a signed 16-bit value; then a - t*q is
    // divisible by 2^16 and the quotient is congruent to a * R^-1.
    const auto t = static_cast<std::int16_t>(static_cast<std::uint32_t>(a) * kQInv);
    return static_cast<std::int16_t>((a - static_cast<std::int32_t>(t) * kQ) >> 16);
}

// Multiplication followed by Montgomery reduction: a * b * R^-1 mod q in
// (-q, q), for |a * b| < q * 2^15.
constexpr std::int16_t fqmul(std::int16_t a, std::int16_t b) noexcept {
    return montgomery_reduce(static_cast<std::int32_t>(a) * b);
}

// Barrett reduction: returns the representative of a mod q in
// [-(q-1)/2, (q-1)/2], for every int16_t a.
constexpr std::int16_t barrett_reduce(std::int16_t a) noexcept {
    // v = round(2^26 / q); t = round(a * v / 2^26) is a or a-1 ... a+1 over q.
    constexpr std::int32_t v = ((1 << 26) + kQ / 2) / kQ;
    const std::int32_t t = (v * a + (1 << 25)) >> 26;
    return static_cast<std::int16_t>(a - t * kQ);
}

// Maps a in (-q, q) to its representative in [0, q).
constexpr std::int16_t to_unsigned_rep(std::int16_t a) noexcept {
    return static_cast<std::int16_t>(a + ((a >> 15) & kQ));
}

// Maps any int16_t to its representative in [0, q).
constexpr std::int16_t canonical(std::int16_t a) noexcept { return to_unsigned_rep(barrett_reduce(a)); }

}  // namespace ostrel_pq::crypto::mlkem
