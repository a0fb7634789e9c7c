// NTT and inverse NTT of FIPS 204 section 7.5 with Montgomery multiplication.
// Loop bounds and table indexes depend only on positions, never on data.
#include "pq/crypto/mldsa65_ntt.hpp"

#include <array>

#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mldsa65_ntt_avx2.hpp"
#include "pq/crypto/mldsa65_reduce.hpp"

namespace ostrel_pq::crypto::mldsa65 {

namespace {

constexpr std::int32_t kZeta = 1753;  // primitive 512th root of unity mod q

constexpr unsigned bitrev8(unsigned m) {
    unsigned r = 0;
    for (int i = 0; i < 8; ++i) r |= ((m >> i) & 1u) << (7 - i);
    return r;
}

constexpr std::array<std::int32_t, kN> make_zetas() {
    std::array<std::int32_t, kN> z{};
    for (unsigned m = 0; m < kN; ++m) {
        const std::int64_t v =
            static_cast<std::int64_t>(detail::pow_mod(kZeta, bitrev8(m))) * kMont % kQ;
        z[m] = static_cast<std::int32_t>(v > (kQ - 1) / 2 ? v - kQ : v);
    }
    return z;
}

constexpr std::array<std::int32_t, kN> kZetas = make_zetas();

// 2^64 / 256 mod q: the final scaling of the inverse transform removes the
// pointwise product's 2^-32 and the factor 256 of the butterflies.
constexpr std::int32_t kInvScale = static_cast<std::int32_t>(
    static_cast<std::int64_t>(kMont) * kMont % kQ * detail::pow_mod(256, kQ - 2) % kQ);

}  // namespace

const std::int32_t* ntt_zetas_montgomery() noexcept { return kZetas.data(); }

// FIPS 204 Algorithm 41 (NTT)
void ntt(std::int32_t a[kN]) noexcept {
    if (use_avx2()) {
        ntt_avx2(a);
    } else {
        ntt_portable(a);
    }
}

void ntt_portable(std::int32_t a[kN]) noexcept {
    unsigned m = 0;
    for (int len = 128; len >= 1; len >>= 1) {
        for (int start = 0; start < kN; start += 2 * len) {
            const std::int64_t z = kZetas[++m];
            for (int j = start; j < start + len; ++j) {
                const std::int32_t t = montgomery_reduce(z * a[j + len]);
                a[j + len] = a[j] - t;
                a[j] = a[j] + t;
            }
        }
    }
}

// FIPS 204 Algorithm 42 (NTT^-1). Differences pass through a Montgomery
// multiplication (|.| < q) but sums double at every layer: from |a| < 8q they
// would reach 128q after four layers, so the sums of the fourth layer
// (len = 8) are reduced, and then reach at most 16q by the end. Every
// difference stays below 2^31 and every product below 2^31 q.
void invntt_from_montgomery(std::int32_t a[kN]) noexcept {
    if (use_avx2()) {
        invntt_from_montgomery_avx2(a);
    } else {
        invntt_from_montgomery_portable(a);
    }
}

void invntt_from_montgomery_portable(std::int32_t a[kN]) noexcept {
    unsigned m = kN;
    for (int len = 1; len < kN; len <<= 1) {
        const bool reduce_sums = len == 8;
        for (int start = 0; start < kN; start += 2 * len) {
            const std::int64_t z = -kZetas[--m];
            for (int j = start; j < start + len; ++j) {
                const std::int32_t t = a[j];
                const std::int32_t sum = t + a[j + len];
                a[j] = reduce_sums ? reduce32(sum) : sum;
                a[j + len] = montgomery_reduce(z * (t - a[j + len]));
            }
        }
    }
    for (int j = 0; j < kN; ++j) a[j] = montgomery_reduce(static_cast<std::int64_t>(kInvScale) * a[j]);
}

}  // namespace ostrel_pq::crypto::mldsa65
