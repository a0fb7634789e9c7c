// AVX2 forms of the ML-KEM-768 transforms and base-case products: the same
// butterflies, twiddle factors, reductions and int16 wrap-around as
// mlkem768_ntt.cpp, sixteen 16-bit lanes at a time, so results are
// bit-identical. Only these functions are compiled for AVX2. No branch or
// index depends on coefficient values.
#include "pq/crypto/mlkem768_ntt_avx2.hpp"

#include <immintrin.h>

#include "pq/crypto/mlkem768_reduce.hpp"

namespace ostrel_pq::crypto::mlkem {

namespace {

#define OSTREL_AVX2 __attribute__((target("avx2"), always_inline)) inline

// fqmul lane by lane: t = low16(a b) q^-1 mod 2^16 (signed); the high half
// of a b - t q equals high(a b) - high(t q) because the low halves agree.
OSTREL_AVX2 __m256i fqmul_v(__m256i a, __m256i b) {
    const __m256i lo = _mm256_mullo_epi16(a, b);
    const __m256i hi = _mm256_mulhi_epi16(a, b);
    const __m256i t = _mm256_mullo_epi16(lo, _mm256_set1_epi16(static_cast<std::int16_t>(kQInv)));
    return _mm256_sub_epi16(hi, _mm256_mulhi_epi16(t, _mm256_set1_epi16(static_cast<std::int16_t>(kQ))));
}

// barrett_reduce lane by lane: floor((v a + 2^25) / 2^26) computed as
// floor((floor(v a / 2^16) + 2^9) / 2^10), the same integer.
OSTREL_AVX2 __m256i barrett_v(__m256i a) {
    constexpr std::int16_t v = static_cast<std::int16_t>(((1 << 26) + kQ / 2) / kQ);
    const __m256i h = _mm256_mulhi_epi16(a, _mm256_set1_epi16(v));
    const __m256i t = _mm256_srai_epi16(_mm256_add_epi16(h, _mm256_set1_epi16(1 << 9)), 10);
    return _mm256_sub_epi16(a, _mm256_mullo_epi16(t, _mm256_set1_epi16(static_cast<std::int16_t>(kQ))));
}

OSTREL_AVX2 __m256i load(const std::int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
OSTREL_AVX2 void store(std::int16_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

OSTREL_AVX2 void fwd(__m256i& lo, __m256i& hi, __m256i z) {
    const __m256i t = fqmul_v(z, hi);
    hi = _mm256_sub_epi16(lo, t);
    lo = _mm256_add_epi16(lo, t);
}

OSTREL_AVX2 void inv(__m256i& lo, __m256i& hi, __m256i z) {
    const __m256i t = lo;
    lo = barrett_v(_mm256_add_epi16(t, hi));
    hi = fqmul_v(z, _mm256_sub_epi16(hi, t));
}

// Layers whose pairs lie within 32 coefficients: x = f[s..s+15] and
// y = f[s+16..s+31] regrouped into first and second butterfly inputs:
//   len 8: lo = x0..7 y0..7;                        hi = x8..15 y8..15
//   len 4: lo = x0..3 y0..3 x8..11 y8..11;          hi = the other quarters
//   len 2: lo = pairs x01 y01 x45 y45 x89 y89 ...;  hi = x23 y23 x67 y67 ...
template <int Len>
OSTREL_AVX2 void split(__m256i x, __m256i y, __m256i& lo, __m256i& hi) {
    if constexpr (Len == 8) {
        lo = _mm256_permute2x128_si256(x, y, 0x20);
        hi = _mm256_permute2x128_si256(x, y, 0x31);
    } else if constexpr (Len == 4) {
        lo = _mm256_unpacklo_epi64(x, y);
        hi = _mm256_unpackhi_epi64(x, y);
    } else {
        lo = _mm256_blend_epi32(x, _mm256_slli_epi64(y, 32), 0xAA);
        hi = _mm256_blend_epi32(_mm256_srli_epi64(x, 32), y, 0xAA);
    }
}

template <int Len>
OSTREL_AVX2 void join(__m256i lo, __m256i hi, __m256i& x, __m256i& y) {
    if constexpr (Len == 8) {
        x = _mm256_permute2x128_si256(lo, hi, 0x20);
        y = _mm256_permute2x128_si256(lo, hi, 0x31);
    } else if constexpr (Len == 4) {
        x = _mm256_unpacklo_epi64(lo, hi);
        y = _mm256_unpackhi_epi64(lo, hi);
    } else {
        x = _mm256_blend_epi32(lo, _mm256_slli_epi64(hi, 32), 0xAA);
        y = _mm256_blend_epi32(_mm256_srli_epi64(lo, 32), hi, 0xAA);
    }
}

// Twiddle factor of each lane of `lo`; zeta(k) is the factor of the k-th
// butterfly group (2 len coefficients) from coefficient s.
template <int Len, class Zeta>
OSTREL_AVX2 __m256i lane_zetas(Zeta zeta) {
    if constexpr (Len == 8) {
        const std::int16_t a = zeta(0), b = zeta(1);
        return _mm256_setr_epi16(a, a, a, a, a, a, a, a, b, b, b, b, b, b, b, b);
    } else if constexpr (Len == 4) {
        // groups: x0..7 -> 0, x8..15 -> 1, y0..7 -> 2, y8..15 -> 3
        const std::int16_t a = zeta(0), b = zeta(1), c = zeta(2), d = zeta(3);
        return _mm256_setr_epi16(a, a, a, a, c, c, c, c, b, b, b, b, d, d, d, d);
    } else {
        // groups of four: x -> 0..3, y -> 4..7; lo holds x pair 2k, y pair 2k
        std::int16_t z[8];
        for (unsigned k = 0; k < 8; ++k) z[k] = zeta(k);
        return _mm256_setr_epi16(z[0], z[0], z[4], z[4], z[1], z[1], z[5], z[5],  //
                                 z[2], z[2], z[6], z[6], z[3], z[3], z[7], z[7]);
    }
}

template <int Len>
OSTREL_AVX2 void ntt_small_layer(Coeffs& f, const std::int16_t* zetas, unsigned first) {
    for (std::size_t s = 0; s < kN; s += 32) {
        const unsigned g0 = static_cast<unsigned>(s / (2 * Len));
        const __m256i z = lane_zetas<Len>([&](unsigned k) { return zetas[first + g0 + k]; });
        __m256i lo, hi, x, y;
        split<Len>(load(&f[s]), load(&f[s + 16]), lo, hi);
        fwd(lo, hi, z);
        join<Len>(lo, hi, x, y);
        store(&f[s], x);
        store(&f[s + 16], y);
    }
}

template <int Len>
OSTREL_AVX2 void invntt_small_layer(Coeffs& f, const std::int16_t* zetas, unsigned first) {
    for (std::size_t s = 0; s < kN; s += 32) {
        const unsigned g0 = static_cast<unsigned>(s / (2 * Len));
        const __m256i z = lane_zetas<Len>([&](unsigned k) { return zetas[first - (g0 + k)]; });
        __m256i lo, hi, x, y;
        split<Len>(load(&f[s]), load(&f[s + 16]), lo, hi);
        inv(lo, hi, z);
        join<Len>(lo, hi, x, y);
        store(&f[s], x);
        store(&f[s + 16], y);
    }
}

// Swaps the two coefficients of every pair.
OSTREL_AVX2 __m256i swap_pairs(__m256i v) { return _mm256_or_si256(_mm256_slli_epi32(v, 16), _mm256_srli_epi32(v, 16)); }

// Base-case products of 8 pairs: with f = (a0, a1), g = (b0, b1) per pair,
// even lanes get fqmul(fqmul(a1, b1), gamma) + fqmul(a0, b0) and odd lanes
// fqmul(a0, b1) + fqmul(a1, b0), each product formed as the portable code
// forms it.
OSTREL_AVX2 __m256i basemul16(__m256i f, __m256i g, __m256i gamma) {
    const __m256i p = fqmul_v(f, g);               // a0 b0 | a1 b1
    const __m256i q = fqmul_v(f, swap_pairs(g));   // a0 b1 | a1 b0
    const __m256i c0 = _mm256_add_epi16(fqmul_v(swap_pairs(p), gamma), p);
    const __m256i c1 = _mm256_add_epi16(swap_pairs(q), q);
    return _mm256_blend_epi16(c0, c1, 0xAA);
}

// gamma of pair i in both lanes 2i and 2i + 1.
struct PairGammas {
    std::int16_t g[kN];
    PairGammas() noexcept {
        const auto& gammas = ntt_gammas();
        for (std::size_t i = 0; i < 128; ++i) g[2 * i] = g[2 * i + 1] = gammas[i];
    }
};
const PairGammas kPairGammas;

#undef OSTREL_AVX2

}  // namespace

__attribute__((target("avx2"))) void ntt_avx2(Coeffs& f) noexcept {
    const std::int16_t* zetas = ntt_zetas().data();
    unsigned i = 1;
    for (std::size_t len = 128; len >= 16; len /= 2) {
        for (std::size_t start = 0; start < kN; start += 2 * len) {
            const __m256i z = _mm256_set1_epi16(zetas[i++]);
            for (std::size_t j = start; j < start + len; j += 16) {
                __m256i lo = load(&f[j]);
                __m256i hi = load(&f[j + len]);
                fwd(lo, hi, z);
                store(&f[j], lo);
                store(&f[j + len], hi);
            }
        }
    }
    ntt_small_layer<8>(f, zetas, i);
    i += kN / 16;
    ntt_small_layer<4>(f, zetas, i);
    i += kN / 8;
    ntt_small_layer<2>(f, zetas, i);
    for (std::size_t j = 0; j < kN; j += 16) store(&f[j], barrett_v(load(&f[j])));
}

__attribute__((target("avx2"))) void inverse_ntt_to_plain_avx2(Coeffs& f) noexcept {
    const std::int16_t* zetas = ntt_zetas().data();
    unsigned i = 127;
    invntt_small_layer<2>(f, zetas, i);
    i -= kN / 4;
    invntt_small_layer<4>(f, zetas, i);
    i -= kN / 8;
    invntt_small_layer<8>(f, zetas, i);
    i -= kN / 16;
    for (std::size_t len = 16; len <= 128; len *= 2) {
        for (std::size_t start = 0; start < kN; start += 2 * len) {
            const __m256i z = _mm256_set1_epi16(zetas[i--]);
            for (std::size_t j = start; j < start + len; j += 16) {
                __m256i lo = load(&f[j]);
                __m256i hi = load(&f[j + len]);
                inv(lo, hi, z);
                store(&f[j], lo);
                store(&f[j + len], hi);
            }
        }
    }
    // 128^-1 R^2 mod q, centred: the same constant as the portable code
    // (R^2 / 128 with R = 2^16), recomputed here.
    constexpr std::int64_t kInv128 = 3303;
    constexpr std::int64_t kScaleRaw = static_cast<std::int64_t>(kMontR2) * kInv128 % kQ;
    constexpr std::int16_t kScale = static_cast<std::int16_t>(kScaleRaw > kQ / 2 ? kScaleRaw - kQ : kScaleRaw);
    const __m256i scale = _mm256_set1_epi16(kScale);
    for (std::size_t j = 0; j < kN; j += 16) store(&f[j], fqmul_v(load(&f[j]), scale));
}

__attribute__((target("avx2"))) void basemul_montgomery_avx2(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept {
    for (std::size_t j = 0; j < kN; j += 16) {
        store(&h[j], basemul16(load(&f[j]), load(&g[j]), load(&kPairGammas.g[j])));
    }
}

__attribute__((target("avx2"))) void basemul_montgomery_accumulate_avx2(Coeffs& h, const Coeffs& f,
                                                                        const Coeffs& g) noexcept {
    for (std::size_t j = 0; j < kN; j += 16) {
        const __m256i c = basemul16(load(&f[j]), load(&g[j]), load(&kPairGammas.g[j]));
        store(&h[j], _mm256_add_epi16(load(&h[j]), c));
    }
}

// Compress_d(canonical(a)) for 1 <= d <= 11, as compress() in
// mlkem768_poly.cpp: n = 2^(d+1) x + q < 2^24, and floor(n / 2q) is taken
// as floor(n M / 2^37) with M = ceil(2^37 / 2q); since n (M 2q - 2^37) <
// 2^24 2q < 2^37 the quotient is exact.
__attribute__((target("avx2"))) void compress_poly_avx2(std::int16_t t[kN], const std::int16_t a[kN],
                                                        unsigned d) noexcept {
    constexpr std::uint64_t kTwoQ = 2 * static_cast<std::uint64_t>(kQ);
    constexpr std::uint32_t kMul = static_cast<std::uint32_t>(((std::uint64_t{1} << 37) + kTwoQ - 1) / kTwoQ);
    const __m256i mul = _mm256_set1_epi32(static_cast<std::int32_t>(kMul));
    const __m256i q16 = _mm256_set1_epi16(static_cast<std::int16_t>(kQ));
    const __m256i q32 = _mm256_set1_epi32(kQ);
    const __m256i mask = _mm256_set1_epi32(static_cast<std::int32_t>((1u << d) - 1u));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(d + 1));
    const auto quotient = [&](__m256i x) __attribute__((target("avx2"))) {
        const __m256i n = _mm256_add_epi32(_mm256_sll_epi32(x, shift), q32);
        const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(n, mul), 37);
        const __m256i odd = _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(n, 32), mul), 37);
        return _mm256_and_si256(_mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA), mask);
    };
    for (std::size_t j = 0; j < kN; j += 16) {
        __m256i x = barrett_v(load(a + j));
        x = _mm256_add_epi16(x, _mm256_and_si256(_mm256_srai_epi16(x, 15), q16));
        const __m256i lo = quotient(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(x)));
        const __m256i hi = quotient(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(x, 1)));
        // packus works per 128-bit half; the 64-bit permute restores order.
        store(t + j, _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), 0xD8));
    }
}

}  // namespace ostrel_pq::crypto::mlkem
