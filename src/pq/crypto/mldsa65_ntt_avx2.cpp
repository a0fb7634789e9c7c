// AVX2 forms of the ML-DSA-65 NTT, inverse NTT and pointwise Montgomery
// product: the same butterflies, twiddle factors, reductions and output
// representatives as mldsa65_ntt.cpp / mldsa65_poly.cpp, eight 32-bit lanes
// at a time, so results are bit-identical. Only these functions are compiled
// for AVX2; callers reach them after the run-time check. No branch or index
// depends on coefficient values.
#include <immintrin.h>

#include "pq/crypto/mldsa65_ntt_avx2.hpp"
#include "pq/crypto/mldsa65_ntt.hpp"
#include "pq/crypto/mldsa65_reduce.hpp"

namespace ostrel_pq::crypto::mldsa65 {

namespace {

#define OSTREL_AVX2 __attribute__((target("avx2"), always_inline)) inline

// montgomery_reduce(a * b) lane by lane: the 64-bit products of the even
// and of the odd lanes, t = low32(p) * q^-1 mod 2^32 as a signed 32-bit
// value, and the high half of p - t q (whose low half is zero).
OSTREL_AVX2 __m256i mont_mul(__m256i a, __m256i b) {
    const __m256i qinv = _mm256_set1_epi32(static_cast<std::int32_t>(kQInv));
    const __m256i q = _mm256_set1_epi32(kQ);
    const __m256i p_even = _mm256_mul_epi32(a, b);
    const __m256i p_odd = _mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32));
    const __m256i t_even = _mm256_mul_epi32(_mm256_mul_epi32(p_even, qinv), q);
    const __m256i t_odd = _mm256_mul_epi32(_mm256_mul_epi32(p_odd, qinv), q);
    const __m256i r_even = _mm256_sub_epi64(p_even, t_even);
    const __m256i r_odd = _mm256_sub_epi64(p_odd, t_odd);
    return _mm256_blend_epi32(_mm256_srli_epi64(r_even, 32), r_odd, 0xAA);
}

// reduce32 lane by lane.
OSTREL_AVX2 __m256i reduce32_v(__m256i a) {
    const __m256i t = _mm256_srai_epi32(_mm256_add_epi32(a, _mm256_set1_epi32(1 << 22)), 23);
    return _mm256_sub_epi32(a, _mm256_mullo_epi32(t, _mm256_set1_epi32(kQ)));
}

OSTREL_AVX2 __m256i load(const std::int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
OSTREL_AVX2 void store(std::int32_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// Forward butterfly: lo + z hi, lo - z hi.
OSTREL_AVX2 void fwd(__m256i& lo, __m256i& hi, __m256i z) {
    const __m256i t = mont_mul(z, hi);
    hi = _mm256_sub_epi32(lo, t);
    lo = _mm256_add_epi32(lo, t);
}

// Inverse butterfly: lo + hi (optionally reduced), z (lo - hi).
template <bool ReduceSums>
OSTREL_AVX2 void inv(__m256i& lo, __m256i& hi, __m256i z) {
    const __m256i sum = _mm256_add_epi32(lo, hi);
    hi = mont_mul(z, _mm256_sub_epi32(lo, hi));
    if constexpr (ReduceSums) {
        lo = reduce32_v(sum);
    } else {
        lo = sum;
    }
}

// For the layers whose pairs lie within 16 coefficients, x = a[s..s+7] and
// y = a[s+8..s+15] are rearranged into vectors of "first" and "second"
// butterfly inputs and back:
//   len 4: lo = x0..3 y0..3,          hi = x4..7 y4..7
//   len 2: lo = x0 x1 y0 y1 x4 x5 y4 y5, hi = x2 x3 y2 y3 x6 x7 y6 y7
//   len 1: lo = x0 y0 x2 y2 x4 y4 x6 y6, hi = x1 y1 x3 y3 x5 y5 x7 y7
template <int Len>
OSTREL_AVX2 void split(__m256i x, __m256i y, __m256i& lo, __m256i& hi) {
    if constexpr (Len == 4) {
        lo = _mm256_permute2x128_si256(x, y, 0x20);
        hi = _mm256_permute2x128_si256(x, y, 0x31);
    } else if constexpr (Len == 2) {
        lo = _mm256_unpacklo_epi64(x, y);
        hi = _mm256_unpackhi_epi64(x, y);
    } else {
        lo = _mm256_blend_epi32(x, _mm256_slli_epi64(y, 32), 0xAA);
        hi = _mm256_blend_epi32(_mm256_srli_epi64(x, 32), y, 0xAA);
    }
}

template <int Len>
OSTREL_AVX2 void join(__m256i lo, __m256i hi, __m256i& x, __m256i& y) {
    if constexpr (Len == 4) {
        x = _mm256_permute2x128_si256(lo, hi, 0x20);
        y = _mm256_permute2x128_si256(lo, hi, 0x31);
    } else if constexpr (Len == 2) {
        x = _mm256_unpacklo_epi64(lo, hi);
        y = _mm256_unpackhi_epi64(lo, hi);
    } else {
        x = _mm256_blend_epi32(lo, _mm256_slli_epi64(hi, 32), 0xAA);
        y = _mm256_blend_epi32(_mm256_srli_epi64(lo, 32), hi, 0xAA);
    }
}

// The twiddle factor of each lane of `lo` for a layer whose butterfly groups
// (of 2 len coefficients) are numbered g0, g0 + 1, ... from coefficient s:
// zeta(k) gives the factor of the k-th group after g0.
template <int Len, class Zeta>
OSTREL_AVX2 __m256i lane_zetas(Zeta zeta) {
    if constexpr (Len == 4) {
        const std::int32_t z0 = zeta(0), z1 = zeta(1);
        return _mm256_setr_epi32(z0, z0, z0, z0, z1, z1, z1, z1);
    } else if constexpr (Len == 2) {
        // groups: x0..3 -> 0, x4..7 -> 1, y0..3 -> 2, y4..7 -> 3
        const std::int32_t z0 = zeta(0), z1 = zeta(1), z2 = zeta(2), z3 = zeta(3);
        return _mm256_setr_epi32(z0, z0, z2, z2, z1, z1, z3, z3);
    } else {
        // groups: x pairs -> 0..3, y pairs -> 4..7
        return _mm256_setr_epi32(zeta(0), zeta(4), zeta(1), zeta(5), zeta(2), zeta(6), zeta(3), zeta(7));
    }
}

template <int Len>
OSTREL_AVX2 void ntt_small_layer(std::int32_t a[kN], const std::int32_t* zetas, unsigned m) {
    for (int s = 0; s < kN; s += 16) {
        const unsigned g0 = static_cast<unsigned>(s / (2 * Len));
        const __m256i z = lane_zetas<Len>([&](unsigned k) { return zetas[m + g0 + k + 1]; });
        __m256i lo, hi;
        split<Len>(load(a + s), load(a + s + 8), lo, hi);
        fwd(lo, hi, z);
        __m256i x, y;
        join<Len>(lo, hi, x, y);
        store(a + s, x);
        store(a + s + 8, y);
    }
}

template <int Len>
OSTREL_AVX2 void invntt_small_layer(std::int32_t a[kN], const std::int32_t* zetas, unsigned m) {
    for (int s = 0; s < kN; s += 16) {
        const unsigned g0 = static_cast<unsigned>(s / (2 * Len));
        const __m256i z = lane_zetas<Len>([&](unsigned k) { return -zetas[m - 1 - (g0 + k)]; });
        __m256i lo, hi;
        split<Len>(load(a + s), load(a + s + 8), lo, hi);
        inv<false>(lo, hi, z);
        __m256i x, y;
        join<Len>(lo, hi, x, y);
        store(a + s, x);
        store(a + s + 8, y);
    }
}

#undef OSTREL_AVX2

// 2^64 / 256 mod q, the final factor of the inverse transform (as in
// mldsa65_ntt.cpp).
constexpr std::int32_t kInvScaleMont = static_cast<std::int32_t>(
    static_cast<std::int64_t>(kMont) * kMont % kQ * detail::pow_mod(256, kQ - 2) % kQ);

}  // namespace

__attribute__((target("avx2"))) void ntt_avx2(std::int32_t a[kN]) noexcept {
    const std::int32_t* zetas = ntt_zetas_montgomery();
    unsigned m = 0;
    for (int len = 128; len >= 8; len >>= 1) {
        for (int start = 0; start < kN; start += 2 * len) {
            const __m256i z = _mm256_set1_epi32(zetas[++m]);
            for (int j = start; j < start + len; j += 8) {
                __m256i lo = load(a + j);
                __m256i hi = load(a + j + len);
                fwd(lo, hi, z);
                store(a + j, lo);
                store(a + j + len, hi);
            }
        }
    }
    ntt_small_layer<4>(a, zetas, m);
    m += kN / 8;
    ntt_small_layer<2>(a, zetas, m);
    m += kN / 4;
    ntt_small_layer<1>(a, zetas, m);
}

__attribute__((target("avx2"))) void invntt_from_montgomery_avx2(std::int32_t a[kN]) noexcept {
    const std::int32_t* zetas = ntt_zetas_montgomery();
    unsigned m = kN;
    invntt_small_layer<1>(a, zetas, m);
    m -= kN / 2;
    invntt_small_layer<2>(a, zetas, m);
    m -= kN / 4;
    invntt_small_layer<4>(a, zetas, m);
    m -= kN / 8;
    for (int len = 8; len < kN; len <<= 1) {
        for (int start = 0; start < kN; start += 2 * len) {
            const __m256i z = _mm256_set1_epi32(-zetas[--m]);
            for (int j = start; j < start + len; j += 8) {
                __m256i lo = load(a + j);
                __m256i hi = load(a + j + len);
                if (len == 8) {
                    inv<true>(lo, hi, z);
                } else {
                    inv<false>(lo, hi, z);
                }
                store(a + j, lo);
                store(a + j + len, hi);
            }
        }
    }
    const __m256i scale = _mm256_set1_epi32(kInvScaleMont);
    for (int j = 0; j < kN; j += 8) store(a + j, mont_mul(scale, load(a + j)));
}

__attribute__((target("avx2"))) void pointwise_montgomery_avx2(std::int32_t c[kN], const std::int32_t a[kN],
                                                               const std::int32_t b[kN]) noexcept {
    for (int j = 0; j < kN; j += 8) store(c + j, mont_mul(load(a + j), load(b + j)));
}

// decompose (mldsa65_poly.cpp) on eight lanes: the same shifts, products
// and masks, so r1 and r0 are bit-identical.
__attribute__((target("avx2"))) void poly_decompose_avx2(std::int32_t r1[kN], std::int32_t r0[kN],
                                                         const std::int32_t r[kN]) noexcept {
    const __m256i c127 = _mm256_set1_epi32(127);
    const __m256i c1025 = _mm256_set1_epi32(1025);
    const __m256i half = _mm256_set1_epi32(1 << 21);
    const __m256i c15 = _mm256_set1_epi32(15);
    const __m256i two_gamma2 = _mm256_set1_epi32(2 * kGamma2);
    const __m256i q_half = _mm256_set1_epi32((kQ - 1) / 2);
    const __m256i q = _mm256_set1_epi32(kQ);
    for (int j = 0; j < kN; j += 8) {
        const __m256i a = load(r + j);
        __m256i h = _mm256_srai_epi32(_mm256_add_epi32(a, c127), 7);
        h = _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(h, c1025), half), 22);
        h = _mm256_and_si256(h, c15);
        __m256i low = _mm256_sub_epi32(a, _mm256_mullo_epi32(h, two_gamma2));
        low = _mm256_sub_epi32(low, _mm256_and_si256(_mm256_srai_epi32(_mm256_sub_epi32(q_half, low), 31), q));
        store(r1 + j, h);
        store(r0 + j, low);
    }
}

}  // namespace ostrel_pq::crypto::mldsa65
