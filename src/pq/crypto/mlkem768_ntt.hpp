// The number-theoretic transform of ML-KEM (FIPS 203 section 4.3):
// NTT (Algorithm 9), NTT^-1 (Algorithm 10) and the base-case products of
// MultiplyNTTs (Algorithms 11 and 12), on int16_t coefficients with
// Montgomery arithmetic (R = 2^16). Constant-time: the control flow and the
// table indexes depend only on the coefficient position.
#pragma once

#include <array>
#include <cstdint>

#include "pq/crypto/mlkem768_params.hpp"

namespace ostrel_pq::crypto::mlkem {

using Coeffs = std::array<std::int16_t, kN>;

// zeta^BitRev7(i) * R mod q for i = 0..127, zeta = 17 (the first Algorithms 9
// and 10 constants), centered representatives.
const std::array<std::int16_t, 128>& ntt_zetas() noexcept;
// zeta^(2 BitRev7(i) + 1) * R mod q for i = 0..127 (the gammas of Algorithm 11).
const std::array<std::int16_t, 128>& ntt_gammas() noexcept;

// FIPS 203 Algorithm 9 in place. Input: |f[i]| < q. Output: the NTT of f,
// coefficients in [-(q-1)/2, (q-1)/2].
void ntt(Coeffs& f) noexcept;

// FIPS 203 Algorithm 10 in place, with an extra factor R: output is
// R * NTT^-1(f), coefficients in (-q, q). Input: |f[i]| < q. Applied to the
// output of basemul_montgomery (which carries R^-1) it yields the plain
// NTT^-1 of the product.
void inverse_ntt_to_plain(Coeffs& f) noexcept;

// FIPS 203 Algorithm 11 (MultiplyNTTs) times R^-1: h = (f o g) * R^-1 in the
// NTT domain, coefficients in (-2q, 2q). Input: |f[i]|, |g[i]| < q.
void basemul_montgomery(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept;

// h += (f o g) * R^-1 without reduction. Each product adds less than 2q in
// magnitude, so starting from h = 0 at most 4 products fit in int16_t;
// callers Barrett-reduce after accumulating (k = 3 here).
void basemul_montgomery_accumulate(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept;

}  // namespace ostrel_pq::crypto::mlkem
