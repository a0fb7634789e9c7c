// AVX2 parsing of SampleNTT candidates (FIPS 203 Algorithm 7): sixteen 12-bit
// candidates from 24 bytes at a time, the accepted ones moved to the front
// of each half with a byte shuffle chosen by the acceptance mask. The
// shuffle table is indexed by which candidates were accepted; the input is
// the public matrix seed's XOF output, so nothing secret steers an index.
// Same coefficients, in the same order, as the scalar parse.
#include <immintrin.h>

#include <array>

#include "pq/crypto/mlkem768_sampling.hpp"

namespace ostrel_pq::crypto::mlkem {

namespace {

// For each 8-bit acceptance mask: byte indexes that gather the accepted
// 16-bit lanes, in order, to the front (the rest are don't-care zeros).
struct CompactTable {
    alignas(16) std::uint8_t idx[256][16];
    constexpr CompactTable() : idx{} {
        for (unsigned m = 0; m < 256; ++m) {
            unsigned k = 0;
            for (unsigned i = 0; i < 8; ++i) {
                if (m >> i & 1u) {
                    idx[m][2 * k] = static_cast<std::uint8_t>(2 * i);
                    idx[m][2 * k + 1] = static_cast<std::uint8_t>(2 * i + 1);
                    ++k;
                }
            }
            for (unsigned j = 2 * k; j < 16; ++j) idx[m][j] = 0x80;
        }
    }
};
constexpr CompactTable kCompact;

}  // namespace

__attribute__((target("avx2,popcnt"))) std::size_t rej_uniform_avx2(std::int16_t* r, std::size_t n,
                                                                      const std::uint8_t* buf,
                                                                      std::size_t len) noexcept {
    // Within each 128-bit half (bytes 0..15 and 8..23 of the 24), lane 2i
    // takes bytes 3i, 3i + 1 and lane 2i + 1 bytes 3i + 1, 3i + 2.
    const __m256i spread = _mm256_setr_epi8(0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,  //
                                            4, 5, 5, 6, 7, 8, 8, 9, 10, 11, 11, 12, 13, 14, 14, 15);
    const __m256i low12 = _mm256_set1_epi16(0x0FFF);
    const __m256i q = _mm256_set1_epi16(kQ);
    std::size_t pos = 0;
    while (n < kN && pos + 32 <= len) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + pos));
        v = _mm256_permute4x64_epi64(v, 0x94);  // halves: bytes 0..15 | 8..23
        v = _mm256_shuffle_epi8(v, spread);
        v = _mm256_blend_epi16(_mm256_and_si256(v, low12), _mm256_srli_epi16(v, 4), 0xAA);
        const __m256i ok = _mm256_cmpgt_epi16(q, v);
        const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_packs_epi16(ok, _mm256_setzero_si256())));
        const unsigned m0 = mask & 0xFF;
        const unsigned m1 = (mask >> 16) & 0xFF;
        const __m128i lo = _mm_shuffle_epi8(_mm256_castsi256_si128(v),
                                            _mm_load_si128(reinterpret_cast<const __m128i*>(kCompact.idx[m0])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r + n), lo);
        n += static_cast<std::size_t>(__builtin_popcount(m0));
        const __m128i hi = _mm_shuffle_epi8(_mm256_extracti128_si256(v, 1),
                                            _mm_load_si128(reinterpret_cast<const __m128i*>(kCompact.idx[m1])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r + n), hi);
        n += static_cast<std::size_t>(__builtin_popcount(m1));
        pos += 24;
    }
    if (n >= kN) return kN;
    return rej_uniform_portable(r, n, buf + pos, len - pos);
}

}  // namespace ostrel_pq::crypto::mlkem
