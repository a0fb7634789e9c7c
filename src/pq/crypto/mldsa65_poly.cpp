// Polynomial arithmetic and rounding for ML-DSA-65 (FIPS 204 sections 7.4, 7.5).
#include "pq/crypto/mldsa65_poly.hpp"

#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mldsa65_ntt.hpp"
#include "pq/crypto/mldsa65_ntt_avx2.hpp"
#include "pq/crypto/mldsa65_reduce.hpp"

namespace ostrel_pq::crypto::mldsa65 {

void poly_add(Poly& c, const Poly& a, const Poly& b) noexcept {
    for (int i = 0; i < kN; ++i) c.c[i] = a.c[i] + b.c[i];
}

void poly_sub(Poly& c, const Poly& a, const Poly& b) noexcept {
    for (int i = 0; i < kN; ++i) c.c[i] = a.c[i] - b.c[i];
}

void poly_shift_left_d(Poly& a) noexcept {
    for (int i = 0; i < kN; ++i) a.c[i] <<= kD;
}

void poly_freeze(Poly& a) noexcept {
    for (int i = 0; i < kN; ++i) a.c[i] = freeze(a.c[i]);
}

void poly_center(Poly& a) noexcept {
    for (int i = 0; i < kN; ++i) a.c[i] = center(a.c[i]);
}

void poly_ntt(Poly& a) noexcept { ntt(a.c); }

void poly_invntt_from_montgomery(Poly& a) noexcept { invntt_from_montgomery(a.c); }

void poly_pointwise_montgomery(Poly& c, const Poly& a, const Poly& b) noexcept {
    if (use_avx2()) {
        pointwise_montgomery_avx2(c.c, a.c, b.c);
        return;
    }
    for (int i = 0; i < kN; ++i) c.c[i] = montgomery_reduce(static_cast<std::int64_t>(a.c[i]) * b.c[i]);
}

bool poly_norm_at_least(const Poly& a, std::int32_t bound) noexcept {
    std::uint32_t over = 0;
    for (int i = 0; i < kN; ++i) {
        const std::int32_t sign = a.c[i] >> 31;          // 0 or -1
        const std::int32_t abs = (a.c[i] ^ sign) - sign;  // |a_i|
        // bound - 1 - |a_i| is negative exactly when |a_i| >= bound.
        over |= static_cast<std::uint32_t>((bound - 1 - abs) >> 31);
    }
    return over != 0;
}

// FIPS 204 Algorithm 35 (Power2Round)
std::int32_t power2round(std::int32_t r, std::int32_t& r0) noexcept {
    const std::int32_t r1 = (r + (1 << (kD - 1)) - 1) >> kD;
    r0 = r - (r1 << kD);
    return r1;
}

// FIPS 204 Algorithm 36 (Decompose) for 2 gamma2 = (q - 1) / 16.
// r1 = round(r / 2 gamma2) computed without division: first ceil(r / 128),
// then multiplication by 1025 / 2^22, which approximates 128 / (2 gamma2) =
// 1 / 4092 closely enough to round correctly for every r < q. The value 16
// (r within gamma2 of q - 1) wraps to 0, and then r0 = r - q, as the
// standard's special case r+ - r0 = q - 1 prescribes.
std::int32_t decompose(std::int32_t r, std::int32_t& r0) noexcept {
    std::int32_t r1 = (r + 127) >> 7;
    r1 = (r1 * 1025 + (1 << 21)) >> 22;
    r1 &= 15;
    std::int32_t low = r - r1 * 2 * kGamma2;
    low -= (((kQ - 1) / 2 - low) >> 31) & kQ;
    r0 = low;
    return r1;
}

// FIPS 204 Algorithm 39 (MakeHint)
std::int32_t make_hint(std::int32_t r, std::int32_t r_plus_z) noexcept {
    std::int32_t lo;
    const std::int32_t a = decompose(r, lo);
    const std::int32_t b = decompose(r_plus_z, lo);
    const std::uint32_t diff = static_cast<std::uint32_t>(a ^ b);
    return static_cast<std::int32_t>((diff | (0u - diff)) >> 31);
}

// FIPS 204 Algorithm 40 (UseHint), m = (q - 1) / (2 gamma2) = 16.
std::int32_t use_hint(std::int32_t h, std::int32_t r) noexcept {
    std::int32_t r0;
    const std::int32_t r1 = decompose(r, r0);
    // Up by one when r0 > 0, down by one otherwise, only where h = 1.
    const std::int32_t up = ((-r0) >> 31) & 1;  // 1 when r0 > 0
    const std::int32_t step = h * (2 * up - 1);
    return (r1 + step) & 15;
}

void poly_power2round(Poly& r1, Poly& r0, const Poly& r) noexcept {
    for (int i = 0; i < kN; ++i) r1.c[i] = power2round(r.c[i], r0.c[i]);
}

void poly_decompose(Poly& r1, Poly& r0, const Poly& r) noexcept {
    if (use_avx2()) {
        poly_decompose_avx2(r1.c, r0.c, r.c);
        return;
    }
    for (int i = 0; i < kN; ++i) r1.c[i] = decompose(r.c[i], r0.c[i]);
}

int poly_make_hint(Poly& h, const Poly& r, const Poly& r_plus_z) noexcept {
    int count = 0;
    for (int i = 0; i < kN; ++i) {
        h.c[i] = make_hint(r.c[i], r_plus_z.c[i]);
        count += h.c[i];
    }
    return count;
}

void poly_use_hint(Poly& w1, const Poly& h, const Poly& r) noexcept {
    for (int i = 0; i < kN; ++i) w1.c[i] = use_hint(h.c[i], r.c[i]);
}

}  // namespace ostrel_pq::crypto::mldsa65
