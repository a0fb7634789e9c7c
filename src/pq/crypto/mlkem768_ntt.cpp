#include "pq/crypto/mlkem768_ntt.hpp"

#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mlkem768_ntt_avx2.hpp"
#include "pq/crypto/mlkem768_reduce.hpp"

namespace ostrel_pq::crypto::mlkem {

namespace {

// BitRev7 of FIPS 203 section 4.3: the 7-bit reversal of i.
constexpr unsigned bit_rev7(unsigned i) {
    unsigned r = 0;
    for (unsigned b = 0; b < 7; ++b) r |= ((i >> b) & 1u) << (6 - b);
    return r;
}

constexpr std::int64_t pow_mod_q(std::int64_t base, unsigned e) {
    std::int64_t result = 1;
    base %= kQ;
    while (e != 0) {
        if (e & 1u) result = result * base % kQ;
        base = base * base % kQ;
        e >>= 1;
    }
    return result;
}

// x * R mod q as a centered representative in [-(q-1)/2, (q-1)/2].
constexpr std::int16_t to_mont_centered(std::int64_t x) {
    std::int64_t v = x * kMontR % kQ;
    if (v > kQ / 2) v -= kQ;
    return static_cast<std::int16_t>(v);
}

constexpr std::array<std::int16_t, 128> make_zetas() {
    std::array<std::int16_t, 128> t{};
    for (unsigned i = 0; i < 128; ++i) t[i] = to_mont_centered(pow_mod_q(17, bit_rev7(i)));
    return t;
}

constexpr std::array<std::int16_t, 128> make_gammas() {
    std::array<std::int16_t, 128> t{};
    for (unsigned i = 0; i < 128; ++i) t[i] = to_mont_centered(pow_mod_q(17, 2 * bit_rev7(i) + 1));
    return t;
}

constexpr std::array<std::int16_t, 128> kZetas = make_zetas();
constexpr std::array<std::int16_t, 128> kGammas = make_gammas();

// 17 is a primitive 256th root of unity mod q (FIPS 203 section 4.3).
static_assert(pow_mod_q(17, 128) == kQ - 1);
static_assert(kZetas[0] == to_mont_centered(1));

// The final scale of Algorithm 10 is 128^-1; with the Montgomery multiply it
// is applied as fqmul(x, R^2 / 128), giving x * R / 128.
constexpr std::int16_t inverse_scale() {
    const std::int64_t inv128 = pow_mod_q(128, static_cast<unsigned>(kQ - 2));  // Fermat
    std::int64_t v = static_cast<std::int64_t>(kMontR2) * inv128 % kQ;
    if (v > kQ / 2) v -= kQ;
    return static_cast<std::int16_t>(v);
}
static_assert(pow_mod_q(128, static_cast<unsigned>(kQ - 2)) == 3303);

}  // namespace

const std::array<std::int16_t, 128>& ntt_zetas() noexcept { return kZetas; }
const std::array<std::int16_t, 128>& ntt_gammas() noexcept { return kGammas; }

void ntt(Coeffs& f) noexcept {
    if (use_avx2()) {
        ntt_avx2(f);
    } else {
        ntt_portable(f);
    }
}

void ntt_portable(Coeffs& f) noexcept {
    // Algorithm 9: Cooley-Tukey butterflies, len = 128, 64, ..., 2. Each layer
    // grows |f| by less than q, so after 7 layers |f| < 8q < 2^15.
    unsigned i = 1;
    for (std::size_t len = 128; len >= 2; len /= 2) {
        for (std::size_t start = 0; start < kN; start += 2 * len) {
            const std::int16_t zeta = kZetas[i++];
            for (std::size_t j = start; j < start + len; ++j) {
                const std::int16_t t = fqmul(zeta, f[j + len]);
                f[j + len] = static_cast<std::int16_t>(f[j] - t);
                f[j] = static_cast<std::int16_t>(f[j] + t);
            }
        }
    }
    for (auto& c : f) c = barrett_reduce(c);
}

void inverse_ntt_to_plain(Coeffs& f) noexcept {
    if (use_avx2()) {
        inverse_ntt_to_plain_avx2(f);
    } else {
        inverse_ntt_to_plain_portable(f);
    }
}

void inverse_ntt_to_plain_portable(Coeffs& f) noexcept {
    // Algorithm 10: Gentleman-Sande butterflies, len = 2, 4, ..., 128, zetas
    // taken from index 127 down to 1. The sums are Barrett-reduced so every
    // value stays below q in magnitude; differences are below 2q before the
    // Montgomery multiply brings them back under q.
    unsigned i = 127;
    for (std::size_t len = 2; len <= 128; len *= 2) {
        for (std::size_t start = 0; start < kN; start += 2 * len) {
            const std::int16_t zeta = kZetas[i--];
            for (std::size_t j = start; j < start + len; ++j) {
                const std::int16_t t = f[j];
                f[j] = barrett_reduce(static_cast<std::int16_t>(t + f[j + len]));
                f[j + len] = fqmul(zeta, static_cast<std::int16_t>(f[j + len] - t));
            }
        }
    }
    constexpr std::int16_t scale = inverse_scale();
    for (auto& c : f) c = fqmul(c, scale);
}

namespace {

// Algorithm 12 (BaseCaseMultiply) times R^-1:
// (a0 + a1 X)(b0 + b1 X) mod (X^2 - gamma).
inline void base_case_multiply(std::int16_t& c0, std::int16_t& c1, std::int16_t a0, std::int16_t a1,
                               std::int16_t b0, std::int16_t b1, std::int16_t gamma) noexcept {
    c0 = static_cast<std::int16_t>(fqmul(fqmul(a1, b1), gamma) + fqmul(a0, b0));
    c1 = static_cast<std::int16_t>(fqmul(a0, b1) + fqmul(a1, b0));
}

}  // namespace

void basemul_montgomery(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept {
    if (use_avx2()) {
        basemul_montgomery_avx2(h, f, g);
    } else {
        basemul_montgomery_portable(h, f, g);
    }
}

void basemul_montgomery_portable(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept {
    for (std::size_t i = 0; i < 128; ++i) {
        base_case_multiply(h[2 * i], h[2 * i + 1], f[2 * i], f[2 * i + 1], g[2 * i], g[2 * i + 1], kGammas[i]);
    }
}

void basemul_montgomery_accumulate(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept {
    if (use_avx2()) {
        basemul_montgomery_accumulate_avx2(h, f, g);
    } else {
        basemul_montgomery_accumulate_portable(h, f, g);
    }
}

void basemul_montgomery_accumulate_portable(Coeffs& h, const Coeffs& f, const Coeffs& g) noexcept {
    for (std::size_t i = 0; i < 128; ++i) {
        std::int16_t c0;
        std::int16_t c1;
        base_case_multiply(c0, c1, f[2 * i], f[2 * i + 1], g[2 * i], g[2 * i + 1], kGammas[i]);
        h[2 * i] = static_cast<std::int16_t>(h[2 * i] + c0);
        h[2 * i + 1] = static_cast<std::int16_t>(h[2 * i + 1] + c1);
    }
}

}  // namespace ostrel_pq::crypto::mlkem
