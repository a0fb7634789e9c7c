// Polynomials of R_q = Z_q[X]/(X^256 + 1) for ML-DSA-65 and the coefficient
// rounding of FIPS 204 section 7.4. Internal to the ML-DSA-65 implementation.
//
// Every function here is branch-free in the coefficient values and indexes
// memory only by position, so it may run on secret polynomials. Each function
// states the range it expects and the range it produces.
#pragma once

#include <cstdint>

#include "pq/crypto/mldsa65_params.hpp"

namespace ostrel_pq::crypto::mldsa65 {

struct Poly {
    std::int32_t c[kN];
};

// c = a + b, c = a - b, coefficientwise without reduction.
void poly_add(Poly& c, const Poly& a, const Poly& b) noexcept;
void poly_sub(Poly& c, const Poly& a, const Poly& b) noexcept;
// a = a * 2^d (for t1 in [0, 2^10), giving values < q).
void poly_shift_left_d(Poly& a) noexcept;
// Coefficientwise freeze (to [0, q)) and center (to [-(q-1)/2, (q-1)/2]).
void poly_freeze(Poly& a) noexcept;
void poly_center(Poly& a) noexcept;

// In-place NTT / inverse NTT of every coefficient (see mldsa65_ntt.hpp).
void poly_ntt(Poly& a) noexcept;
void poly_invntt_from_montgomery(Poly& a) noexcept;
// c = a o b * 2^-32 (the NTT-domain product of FIPS 204 Algorithm 45),
// inputs |x| < 9q, outputs in (-q, q).
void poly_pointwise_montgomery(Poly& c, const Poly& a, const Poly& b) noexcept;

// True when some coefficient has |a_i| >= bound (the infinity norm check
// ||a|| >= bound used by FIPS 204 Algorithms 7 and 8). Input must be centred
// (|a_i| <= (q-1)/2). Looks at every coefficient whatever it finds.
bool poly_norm_at_least(const Poly& a, std::int32_t bound) noexcept;

// FIPS 204 Algorithm 35 (Power2Round) on one coefficient r in [0, q):
// returns r1 and sets r0 with r = r1 * 2^13 + r0, -2^12 < r0 <= 2^12.
std::int32_t power2round(std::int32_t r, std::int32_t& r0) noexcept;
// FIPS 204 Algorithm 36 (Decompose) on r in [0, q): returns r1 in [0, 15]
// and sets r0 with r = r1 * 2 gamma2 + r0 mod q, -gamma2 <= r0 <= gamma2.
std::int32_t decompose(std::int32_t r, std::int32_t& r0) noexcept;
// FIPS 204 Algorithm 39 (MakeHint): 1 when HighBits(r) != HighBits(r + z),
// given r and r + z, both in [0, q).
std::int32_t make_hint(std::int32_t r, std::int32_t r_plus_z) noexcept;
// FIPS 204 Algorithm 40 (UseHint): r in [0, q), h in {0, 1}; result in [0, 15].
std::int32_t use_hint(std::int32_t h, std::int32_t r) noexcept;

// Polynomial versions. Inputs in [0, q) where the scalar function needs it.
void poly_power2round(Poly& r1, Poly& r0, const Poly& r) noexcept;
void poly_decompose(Poly& r1, Poly& r0, const Poly& r) noexcept;
// Returns the number of ones in h.
int poly_make_hint(Poly& h, const Poly& r, const Poly& r_plus_z) noexcept;
void poly_use_hint(Poly& w1, const Poly& h, const Poly& r) noexcept;

}  // namespace ostrel_pq::crypto::mldsa65
