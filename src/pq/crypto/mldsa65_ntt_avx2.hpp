// AVX2 forms of the ML-DSA-65 NTT, inverse NTT and pointwise Montgomery
// product, bit-identical to the portable ones in mldsa65_ntt.hpp and
// mldsa65_poly.hpp. Call only when cpu_has_avx2() (keccak_x4.hpp); the
// portable functions dispatch to these themselves. Internal.
#pragma once

#include <cstdint>

#include "pq/crypto/mldsa65_params.hpp"

namespace ostrel_pq::crypto::mldsa65 {

void ntt_avx2(std::int32_t a[kN]) noexcept;
void invntt_from_montgomery_avx2(std::int32_t a[kN]) noexcept;
// c = a o b * 2^-32, lane by lane as poly_pointwise_montgomery.
void pointwise_montgomery_avx2(std::int32_t c[kN], const std::int32_t a[kN], const std::int32_t b[kN]) noexcept;

// r1[i] = decompose(r[i], r0[i]) for every coefficient.
void poly_decompose_avx2(std::int32_t r1[kN], std::int32_t r0[kN], const std::int32_t r[kN]) noexcept;

// The portable transforms, kept callable so tests can compare both paths.
void ntt_portable(std::int32_t a[kN]) noexcept;
void invntt_from_montgomery_portable(std::int32_t a[kN]) noexcept;

}  // namespace ostrel_pq::crypto::mldsa65
