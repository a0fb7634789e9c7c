// Keccak-p[1600, 24] on four interleaved states with AVX2 (FIPS 202
// Algorithm 7, the same steps as keccak.cpp): register j holds lane j of all
// four states. Only this file's functions are compiled for AVX2; callers
// reach them through the run-time check in keccak_x4.cpp.
#include <immintrin.h>

#include <utility>

#include "pq/crypto/keccak_x4.hpp"

namespace ostrel_pq::crypto {

namespace {

constexpr std::uint64_t kRc[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808AULL, 0x8000000080008000ULL,
    0x000000000000808BULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008AULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000AULL,
    0x000000008000808BULL, 0x800000000000008BULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800AULL, 0x800000008000000AULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

// Rho offsets by lane number x + 5y (FIPS 202 section 3.2.2).
constexpr int kRho[25] = {
    0,  1,  62, 28, 27,  //
    36, 44, 6,  55, 20,  //
    3,  10, 43, 25, 39,  //
    41, 45, 15, 21, 8,   //
    18, 2,  61, 56, 14,
};

constexpr int pi_dst(int src) { return (src / 5) + 5 * ((2 * (src % 5) + 3 * (src / 5)) % 5); }

template <int N>
__attribute__((target("avx2"), always_inline)) inline __m256i rotl(__m256i x) {
    if constexpr (N == 0) {
        return x;
    } else if constexpr (N == 8) {
        const __m256i m = _mm256_setr_epi8(7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14,  //
                                           7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14);
        return _mm256_shuffle_epi8(x, m);
    } else if constexpr (N == 56) {
        const __m256i m = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8,  //
                                           1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8);
        return _mm256_shuffle_epi8(x, m);
    } else {
        return _mm256_or_si256(_mm256_slli_epi64(x, N), _mm256_srli_epi64(x, 64 - N));
    }
}

template <int Src>
__attribute__((target("avx2"), always_inline)) inline void rho_pi_one(__m256i* b, const __m256i* a) {
    b[pi_dst(Src)] = rotl<kRho[Src]>(a[Src]);
}

template <int... Src>
__attribute__((target("avx2"), always_inline)) inline void rho_pi(__m256i* b, const __m256i* a,
                                                                  std::integer_sequence<int, Src...>) {
    (rho_pi_one<Src>(b, a), ...);
}

}  // namespace

__attribute__((target("avx2"))) void keccak_f1600_x4_avx2(std::uint64_t s[100]) noexcept {
    __m256i a[25];
#pragma GCC unroll 25
    for (int i = 0; i < 25; ++i) a[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * i));

    for (int round = 0; round < 24; ++round) {
        // theta
        __m256i c[5];
#pragma GCC unroll 5
        for (int x = 0; x < 5; ++x) {
            c[x] = _mm256_xor_si256(_mm256_xor_si256(a[x], a[x + 5]),
                                    _mm256_xor_si256(_mm256_xor_si256(a[x + 10], a[x + 15]), a[x + 20]));
        }
#pragma GCC unroll 5
        for (int x = 0; x < 5; ++x) {
            const __m256i d = _mm256_xor_si256(c[(x + 4) % 5], rotl<1>(c[(x + 1) % 5]));
#pragma GCC unroll 5
            for (int y = 0; y < 25; y += 5) a[y + x] = _mm256_xor_si256(a[y + x], d);
        }
        // rho and pi
        __m256i b[25];
        rho_pi(b, a, std::make_integer_sequence<int, 25>{});
        // chi: a = b ^ (~b1 & b2), andnot computes (~first) & second
#pragma GCC unroll 5
        for (int y = 0; y < 25; y += 5) {
#pragma GCC unroll 5
            for (int x = 0; x < 5; ++x) {
                a[y + x] = _mm256_xor_si256(b[y + x], _mm256_andnot_si256(b[y + (x + 1) % 5], b[y + (x + 2) % 5]));
            }
        }
        // iota
        a[0] = _mm256_xor_si256(a[0], _mm256_set1_epi64x(static_cast<long long>(kRc[round])));
    }

#pragma GCC unroll 25
    for (int i = 0; i < 25; ++i) _mm256_storeu_si256(reinterpret_cast<__m256i*>(s + 4 * i), a[i]);
}

}  // namespace ostrel_pq::crypto
