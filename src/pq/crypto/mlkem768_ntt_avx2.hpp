// AVX2 forms of the ML-KEM-768 NTT, inverse NTT and base-case products,
// bit-identical to the portable ones in mlkem768_ntt.hpp (which dispatch to
// these when use_avx2()). Call only when cpu_has_avx2(). Internal.
#pragma once

#include "pq/crypto/mlkem768_ntt.hpp"

namespace ostrel_pq::crypto::mlkem {

void ntt_avx2(Coeffs& f) noexcept;
void inverse_ntt_to_plain_avx2(Coeffs& f) noexcept;
void basemul_montgomery_avx2(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept;
void basemul_montgomery_accumulate_avx2(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept;

// t[i] = Compress_d(a[i] mod q) for 1 <= d <= 11 (as poly_compress does
// before encoding).
void compress_poly_avx2(std::int16_t t[kN], const std::int16_t a[kN], unsigned d) noexcept;

// The portable code, kept callable so tests can compare both paths.
void ntt_portable(Coeffs& f) noexcept;
void inverse_ntt_to_plain_portable(Coeffs& f) noexcept;
void basemul_montgomery_portable(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept;
void basemul_montgomery_accumulate_portable(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept;

}  // namespace ostrel_pq::crypto::mlkem
