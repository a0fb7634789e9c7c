// The number-theoretic transform of ML-DSA (FIPS 204 section 7.5), on
// coefficients held as int32. Internal to the ML-DSA-65 implementation.
#pragma once

#include <cstdint>

#include "pq/crypto/mldsa65_params.hpp"

namespace ostrel_pq::crypto::mldsa65 {

// FIPS 204 Algorithm 41 (NTT). In place. Input coefficients |a| < q; output
// coefficients |a| < 9q, in the ordinary (not Montgomery) domain.
void ntt(std::int32_t a[kN]) noexcept;

// FIPS 204 Algorithm 42 (NTT^-1), for input that carries one factor 2^-32 (a
// sum of at most 8 outputs of pointwise_montgomery, |a| < 8q). The output is
// the inverse transform without that factor, coefficients in (-q, q).
void invntt_from_montgomery(std::int32_t a[kN]) noexcept;

// The twiddle factors zeta^BitRev8(m) * 2^32 mod q, centred, m = 0..255
// (FIPS 204 Appendix B lists zeta^BitRev8(m) mod q). Exposed for tests.
const std::int32_t* ntt_zetas_montgomery() noexcept;

}  // namespace ostrel_pq::crypto::mldsa65
