// Vectors of polynomials (length l = 5 and k = 6) and the k x l matrix A for
// ML-DSA-65, with the vector operations of FIPS 204 section 7.6. Internal to
// the ML-DSA-65 implementation; ranges as in mldsa65_poly.hpp.
#pragma once

#include "pq/crypto/mldsa65_poly.hpp"

namespace ostrel_pq::crypto::mldsa65 {

struct PolyVecL {
    Poly v[kL];
};
struct PolyVecK {
    Poly v[kK];
};
// A-hat in the NTT domain: row r holds A[r][0..l-1].
struct Matrix {
    PolyVecL row[kK];
};

void polyvecl_ntt(PolyVecL& a) noexcept;
void polyvecl_invntt_from_montgomery(PolyVecL& a) noexcept;
void polyvecl_center(PolyVecL& a) noexcept;
void polyvecl_add(PolyVecL& c, const PolyVecL& a, const PolyVecL& b) noexcept;
bool polyvecl_norm_at_least(const PolyVecL& a, std::int32_t bound) noexcept;
// c_i = a o b_i * 2^-32 (FIPS 204 Algorithm 46, ScalarVectorNTT).
void polyvecl_pointwise_poly_montgomery(PolyVecL& c, const Poly& a, const PolyVecL& b) noexcept;

void polyveck_ntt(PolyVecK& a) noexcept;
void polyveck_invntt_from_montgomery(PolyVecK& a) noexcept;
void polyveck_freeze(PolyVecK& a) noexcept;
void polyveck_center(PolyVecK& a) noexcept;
void polyveck_add(PolyVecK& c, const PolyVecK& a, const PolyVecK& b) noexcept;
void polyveck_sub(PolyVecK& c, const PolyVecK& a, const PolyVecK& b) noexcept;
void polyveck_shift_left_d(PolyVecK& a) noexcept;
bool polyveck_norm_at_least(const PolyVecK& a, std::int32_t bound) noexcept;
void polyveck_pointwise_poly_montgomery(PolyVecK& c, const Poly& a, const PolyVecK& b) noexcept;
void polyveck_power2round(PolyVecK& r1, PolyVecK& r0, const PolyVecK& r) noexcept;
void polyveck_decompose(PolyVecK& r1, PolyVecK& r0, const PolyVecK& r) noexcept;
// Returns the total number of ones in h.
int polyveck_make_hint(PolyVecK& h, const PolyVecK& r, const PolyVecK& r_plus_z) noexcept;
void polyveck_use_hint(PolyVecK& w1, const PolyVecK& h, const PolyVecK& r) noexcept;

// FIPS 204 Algorithm 48 (MatrixVectorNTT): t = A-hat o v-hat, each row a sum
// of l pointwise products; output |t_i| < 5q, carrying the factor 2^-32.
void matrix_pointwise_montgomery(PolyVecK& t, const Matrix& a, const PolyVecL& v) noexcept;

}  // namespace ostrel_pq::crypto::mldsa65
