// Vector and matrix operations for ML-DSA-65 (FIPS 204 section 7.6).
#include "pq/crypto/mldsa65_polyvec.hpp"

#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::mldsa65 {

void polyvecl_ntt(PolyVecL& a) noexcept {
    for (auto& p : a.v) poly_ntt(p);
}
void polyvecl_invntt_from_montgomery(PolyVecL& a) noexcept {
    for (auto& p : a.v) poly_invntt_from_montgomery(p);
}
void polyvecl_center(PolyVecL& a) noexcept {
    for (auto& p : a.v) poly_center(p);
}
void polyvecl_add(PolyVecL& c, const PolyVecL& a, const PolyVecL& b) noexcept {
    for (int i = 0; i < kL; ++i) poly_add(c.v[i], a.v[i], b.v[i]);
}
bool polyvecl_norm_at_least(const PolyVecL& a, std::int32_t bound) noexcept {
    bool over = false;
    for (const auto& p : a.v) over |= poly_norm_at_least(p, bound);
    return over;
}
void polyvecl_pointwise_poly_montgomery(PolyVecL& c, const Poly& a, const PolyVecL& b) noexcept {
    for (int i = 0; i < kL; ++i) poly_pointwise_montgomery(c.v[i], a, b.v[i]);
}

void polyveck_ntt(PolyVecK& a) noexcept {
    for (auto& p : a.v) poly_ntt(p);
}
void polyveck_invntt_from_montgomery(PolyVecK& a) noexcept {
    for (auto& p : a.v) poly_invntt_from_montgomery(p);
}
void polyveck_freeze(PolyVecK& a) noexcept {
    for (auto& p : a.v) poly_freeze(p);
}
void polyveck_center(PolyVecK& a) noexcept {
    for (auto& p : a.v) poly_center(p);
}
void polyveck_add(PolyVecK& c, const PolyVecK& a, const PolyVecK& b) noexcept {
    for (int i = 0; i < kK; ++i) poly_add(c.v[i], a.v[i], b.v[i]);
}
void polyveck_sub(PolyVecK& c, const PolyVecK& a, const PolyVecK& b) noexcept {
    for (int i = 0; i < kK; ++i) poly_sub(c.v[i], a.v[i], b.v[i]);
}
void polyveck_shift_left_d(PolyVecK& a) noexcept {
    for (auto& p : a.v) poly_shift_left_d(p);
}
bool polyveck_norm_at_least(const PolyVecK& a, std::int32_t bound) noexcept {
    bool over = false;
    for (const auto& p : a.v) over |= poly_norm_at_least(p, bound);
    return over;
}
void polyveck_pointwise_poly_montgomery(PolyVecK& c, const Poly& a, const PolyVecK& b) noexcept {
    for (int i = 0; i < kK; ++i) poly_pointwise_montgomery(c.v[i], a, b.v[i]);
}
void polyveck_power2round(PolyVecK& r1, PolyVecK& r0, const PolyVecK& r) noexcept {
    for (int i = 0; i < kK; ++i) poly_power2round(r1.v[i], r0.v[i], r.v[i]);
}
void polyveck_decompose(PolyVecK& r1, PolyVecK& r0, const PolyVecK& r) noexcept {
    for (int i = 0; i < kK; ++i) poly_decompose(r1.v[i], r0.v[i], r.v[i]);
}
int polyveck_make_hint(PolyVecK& h, const PolyVecK& r, const PolyVecK& r_plus_z) noexcept {
    int count = 0;
    for (int i = 0; i < kK; ++i) count += poly_make_hint(h.v[i], r.v[i], r_plus_z.v[i]);
    return count;
}
void polyveck_use_hint(PolyVecK& w1, const PolyVecK& h, const PolyVecK& r) noexcept {
    for (int i = 0; i < kK; ++i) poly_use_hint(w1.v[i], h.v[i], r.v[i]);
}

// FIPS 204 Algorithm 48 (MatrixVectorNTT)
void matrix_pointwise_montgomery(PolyVecK& t, const Matrix& a, const PolyVecL& v) noexcept {
    Poly prod;
    for (int r = 0; r < kK; ++r) {
        poly_pointwise_montgomery(t.v[r], a.row[r].v[0], v.v[0]);
        for (int s = 1; s < kL; ++s) {
            poly_pointwise_montgomery(prod, a.row[r].v[s], v.v[s]);
            poly_add(t.v[r], t.v[r], prod);
        }
    }
    ostrel_util::secure_wipe(&prod, sizeof(prod));  // products with secret vectors
}

}  // namespace ostrel_pq::crypto::mldsa65
