// The building blocks of ML-DSA-65 checked against direct transcriptions of
// the FIPS 204 algorithms (slow, obviously branchy versions written here) and
// against the standard's own constants.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <cstring>
#include <random>
#include <vector>

#include "pq/crypto/keccak.hpp"
#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mldsa65_ntt.hpp"
#include "pq/crypto/mldsa65_ntt_avx2.hpp"
#include "pq/crypto/mldsa65_packing.hpp"
#include "pq/crypto/mldsa65_poly.hpp"
#include "pq/crypto/mldsa65_polyvec.hpp"
#include "pq/crypto/mldsa65_reduce.hpp"
#include "pq/crypto/mldsa65_sampling.hpp"

namespace {

using namespace ostrel_pq::crypto::mldsa65;

std::int64_t mod_q(std::int64_t a) {
    a %= kQ;
    return a < 0 ? a + kQ : a;
}

// r mod+- alpha: the representative in (-alpha/2, alpha/2].
std::int64_t mod_pm(std::int64_t r, std::int64_t alpha) {
    std::int64_t m = r % alpha;
    if (m < 0) m += alpha;
    if (m > alpha / 2) m -= alpha;
    return m;
}

// FIPS 204 Algorithm 36, as written.
std::pair<std::int32_t, std::int32_t> decompose_reference(std::int32_t r) {
    const std::int64_t rp = mod_q(r);
    std::int64_t r0 = mod_pm(rp, 2 * kGamma2);
    std::int64_t r1;
    if (rp - r0 == kQ - 1) {
        r1 = 0;
        r0 = r0 - 1;
    } else {
        r1 = (rp - r0) / (2 * kGamma2);
    }
    return {static_cast<std::int32_t>(r1), static_cast<std::int32_t>(r0)};
}

TEST(MlDsa65Rounding, DecomposeMatchesStandardForEveryResidue) {
    for (std::int32_t r = 0; r < kQ; ++r) {
        std::int32_t r0;
        const std::int32_t r1 = decompose(r, r0);
        const auto [e1, e0] = decompose_reference(r);
        if (r1 != e1 || r0 != e0) {
            FAIL() << "r = " << r << ": got (" << r1 << ", " << r0 << ") expected (" << e1 << ", " << e0 << ")";
        }
    }
}

TEST(MlDsa65Rounding, Power2RoundMatchesStandardForEveryResidue) {
    for (std::int32_t r = 0; r < kQ; ++r) {
        std::int32_t r0;
        const std::int32_t r1 = power2round(r, r0);
        const std::int64_t e0 = mod_pm(r, std::int64_t{1} << kD);
        const std::int64_t e1 = (r - e0) >> kD;
        if (r1 != e1 || r0 != e0) FAIL() << "r = " << r;
    }
}

// FIPS 204 section 7.4: UseHint(MakeHint(z, r), r) = HighBits(r + z) whenever
// ||z|| <= gamma2.
TEST(MlDsa65Rounding, UseHintRecoversHighBits) {
    std::mt19937 rng(204);
    std::vector<std::int32_t> rs = {0, 1, kGamma2, kGamma2 + 1, 2 * kGamma2, kQ - kGamma2 - 1, kQ - kGamma2, kQ - 2, kQ - 1};
    for (int i = 0; i < 20000; ++i) rs.push_back(static_cast<std::int32_t>(rng() % kQ));
    std::vector<std::int32_t> zs = {0, 1, -1, kGamma2, -kGamma2, kGamma2 - 1, -kGamma2 + 1};
    for (std::int32_t r : rs) {
        for (std::int32_t z : zs) {
            const std::int32_t rz = static_cast<std::int32_t>(mod_q(static_cast<std::int64_t>(r) + z));
            const std::int32_t h = make_hint(r, rz);
            const auto [expected_high, unused] = decompose_reference(rz);
            (void)unused;
            const auto [high_r, unused2] = decompose_reference(r);
            (void)unused2;
            ASSERT_EQ(h, high_r != expected_high ? 1 : 0) << "r=" << r << " z=" << z;
            ASSERT_EQ(use_hint(h, r), expected_high) << "r=" << r << " z=" << z;
        }
        const std::int32_t z = static_cast<std::int32_t>(rng() % (2 * kGamma2 + 1)) - kGamma2;
        const std::int32_t rz = static_cast<std::int32_t>(mod_q(static_cast<std::int64_t>(r) + z));
        ASSERT_EQ(use_hint(make_hint(r, rz), r), decompose_reference(rz).first) << "r=" << r << " z=" << z;
    }
}

TEST(MlDsa65Rounding, NormCheckBoundaryIsStrict) {
    Poly p{};
    EXPECT_FALSE(poly_norm_at_least(p, 1));
    p.c[200] = 99;
    EXPECT_FALSE(poly_norm_at_least(p, 100));
    EXPECT_TRUE(poly_norm_at_least(p, 99));
    p.c[200] = -99;
    EXPECT_FALSE(poly_norm_at_least(p, 100));
    EXPECT_TRUE(poly_norm_at_least(p, 99));
    p.c[0] = (kQ - 1) / 2;
    EXPECT_TRUE(poly_norm_at_least(p, kGamma1));
}

TEST(MlDsa65Reduce, CanonicalAndCentredForms) {
    const std::int32_t samples[] = {0, 1, -1, kQ - 1, kQ, -kQ, (kQ - 1) / 2, (kQ + 1) / 2, 2 * kQ + 5, -2 * kQ - 5,
                                    2143289343, -2143289344};
    for (std::int32_t a : samples) {
        EXPECT_EQ(freeze(a), mod_q(a)) << a;
        EXPECT_EQ(center(a), mod_pm(a, kQ)) << a;
    }
    for (std::int64_t a : {std::int64_t{0}, std::int64_t{kQ} * kQ, -std::int64_t{kQ} * 12345, std::int64_t{1} << 50}) {
        const std::int32_t r = montgomery_reduce(a);
        EXPECT_LT(std::abs(r), kQ);
        // r * 2^32 = a (mod q)
        EXPECT_EQ(mod_q(static_cast<std::int64_t>(r) * (std::int64_t{1} << 32) % kQ), mod_q(a)) << a;
    }
}

// ------------------------------------------------------------------- NTT

std::uint32_t bitrev8(std::uint32_t m) {
    std::uint32_t r = 0;
    for (int i = 0; i < 8; ++i) r |= ((m >> i) & 1u) << (7 - i);
    return r;
}

std::int64_t pow_q(std::int64_t b, std::uint64_t e) {
    std::int64_t r = 1;
    while (e) {
        if (e & 1) r = r * b % kQ;
        b = b * b % kQ;
        e >>= 1;
    }
    return r;
}

TEST(MlDsa65Ntt, ZetasAreBitReversedPowersOf1753) {
    const std::int32_t* z = ntt_zetas_montgomery();
    // The first entries of the table in FIPS 204 Appendix B.
    EXPECT_EQ(mod_q(montgomery_reduce(z[1])), 4808194);
    EXPECT_EQ(mod_q(montgomery_reduce(z[2])), 3765607);
    EXPECT_EQ(mod_q(montgomery_reduce(z[3])), 3761513);
    for (std::uint32_t m = 0; m < 256; ++m) {
        EXPECT_EQ(mod_q(montgomery_reduce(z[m])), pow_q(1753, bitrev8(m))) << m;
    }
}

// a * b in Z_q[X]/(X^256 + 1), schoolbook.
Poly negacyclic_product(const Poly& a, const Poly& b) {
    std::vector<std::int64_t> acc(kN, 0);
    for (int i = 0; i < kN; ++i) {
        for (int j = 0; j < kN; ++j) {
            const std::int64_t prod = mod_q(static_cast<std::int64_t>(a.c[i]) * b.c[j]);
            if (i + j < kN) acc[i + j] = mod_q(acc[i + j] + prod);
            else acc[i + j - kN] = mod_q(acc[i + j - kN] - prod);
        }
    }
    Poly out{};
    for (int i = 0; i < kN; ++i) out.c[i] = static_cast<std::int32_t>(acc[i]);
    return out;
}

TEST(MlDsa65Ntt, ProductThroughNttMatchesSchoolbook) {
    std::mt19937 rng(7);
    struct Case {
        const char* name;
        std::int32_t lo, hi;  // coefficient range of both inputs
    };
    const Case cases[] = {
        {"small", -4, 4},
        {"gamma1", -kGamma1 + 1, kGamma1},
        {"full", -(kQ - 1), kQ - 1},
    };
    for (const auto& c : cases) {
        std::uniform_int_distribution<std::int32_t> dist(c.lo, c.hi);
        Poly a, b;
        for (int i = 0; i < kN; ++i) {
            a.c[i] = dist(rng);
            b.c[i] = dist(rng);
        }
        a.c[0] = c.hi;  // make sure the extremes occur
        b.c[255] = c.lo;
        const Poly expected = negacyclic_product(a, b);
        Poly ah = a, bh = b, prod;
        poly_ntt(ah);
        poly_ntt(bh);
        poly_pointwise_montgomery(prod, ah, bh);
        poly_invntt_from_montgomery(prod);
        poly_freeze(prod);
        for (int i = 0; i < kN; ++i) ASSERT_EQ(prod.c[i], expected.c[i]) << c.name << " coefficient " << i;
    }
}

// Accumulated products (a row of A times y has l = 5 terms) stay within the
// inverse transform's input range.
TEST(MlDsa65Ntt, SumOfFiveProductsMatchesSchoolbook) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<std::int32_t> dist(-(kQ - 1), kQ - 1);
    Poly sum_hat{};
    std::vector<std::int64_t> expected(kN, 0);
    for (int t = 0; t < kL; ++t) {
        Poly a, b;
        for (int i = 0; i < kN; ++i) {
            a.c[i] = dist(rng);
            b.c[i] = dist(rng);
        }
        const Poly p = negacyclic_product(a, b);
        for (int i = 0; i < kN; ++i) expected[i] = mod_q(expected[i] + p.c[i]);
        poly_ntt(a);
        poly_ntt(b);
        Poly prod;
        poly_pointwise_montgomery(prod, a, b);
        poly_add(sum_hat, sum_hat, prod);
    }
    poly_invntt_from_montgomery(sum_hat);
    poly_freeze(sum_hat);
    for (int i = 0; i < kN; ++i) ASSERT_EQ(sum_hat.c[i], expected[i]) << i;
}

// -------------------------------------------------------------- sampling

// FIPS 204 Algorithm 29 (SampleInBall), as written.
Poly sample_in_ball_reference(std::span<const std::uint8_t, kCTildeBytes> seed) {
    ostrel_pq::crypto::Shake256 h;
    h.absorb(seed);
    std::uint8_t s[8];
    h.squeeze(s);
    Poly c{};
    for (int i = kN - kTau; i < kN; ++i) {
        std::uint8_t j;
        do {
            h.squeeze(std::span(&j, 1));
        } while (j > i);
        c.c[i] = c.c[j];
        const int bit = i + kTau - kN;
        c.c[j] = ((s[bit / 8] >> (bit % 8)) & 1) ? -1 : 1;
    }
    return c;
}

TEST(MlDsa65Sampling, SampleInBallMatchesStandard) {
    for (int trial = 0; trial < 50; ++trial) {
        std::array<std::uint8_t, kCTildeBytes> seed{};
        for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(trial * 31 + i * 7);
        Poly c;
        sample_in_ball(c, seed);
        const Poly expected = sample_in_ball_reference(seed);
        int nonzero = 0;
        for (int i = 0; i < kN; ++i) {
            ASSERT_EQ(c.c[i], expected.c[i]) << "trial " << trial << " coefficient " << i;
            ASSERT_TRUE(c.c[i] >= -1 && c.c[i] <= 1);
            nonzero += c.c[i] != 0;
        }
        EXPECT_EQ(nonzero, kTau) << trial;
    }
}

// FIPS 204 Algorithm 31 (RejBoundedPoly) for eta = 4, as written.
Poly rej_bounded_reference(std::span<const std::uint8_t, kRhoPrimeBytes> rho, std::uint16_t nonce) {
    ostrel_pq::crypto::Shake256 h;
    h.absorb(rho);
    const std::uint8_t n[2] = {static_cast<std::uint8_t>(nonce), static_cast<std::uint8_t>(nonce >> 8)};
    h.absorb(n);
    Poly a{};
    int j = 0;
    while (j < kN) {
        std::uint8_t z;
        h.squeeze(std::span(&z, 1));
        const int z0 = z & 15, z1 = z >> 4;
        if (z0 < 9) a.c[j++] = 4 - z0;
        if (z1 < 9 && j < kN) a.c[j++] = 4 - z1;
    }
    return a;
}

TEST(MlDsa65Sampling, RejBoundedPolyMatchesStandard) {
    std::array<std::uint8_t, kRhoPrimeBytes> rho{};
    for (std::size_t i = 0; i < rho.size(); ++i) rho[i] = static_cast<std::uint8_t>(i * 13 + 1);
    for (std::uint16_t nonce : {0, 1, 10, 255, 256, 65535}) {
        Poly a;
        rej_bounded_poly(a, rho, nonce);
        const Poly expected = rej_bounded_reference(rho, nonce);
        for (int i = 0; i < kN; ++i) ASSERT_EQ(a.c[i], expected.c[i]) << "nonce " << nonce << " i " << i;
    }
}

TEST(MlDsa65Sampling, ExpandAIsUniformModQAndIndexedColumnFirst) {
    std::array<std::uint8_t, kSeedBytes> rho{};
    rho[0] = 42;
    Matrix a;
    expand_a(a, rho);
    for (int r = 0; r < kK; ++r)
        for (int s = 0; s < kL; ++s)
            for (int i = 0; i < kN; ++i) ASSERT_TRUE(a.row[r].v[s].c[i] >= 0 && a.row[r].v[s].c[i] < kQ);
    // A[r][s] comes from rho || s || r: the first three bytes of
    // SHAKE128(rho || 1 || 0) give A[0][1]'s first candidate.
    std::array<std::uint8_t, 34> seed{};
    std::copy(rho.begin(), rho.end(), seed.begin());
    seed[32] = 1;
    seed[33] = 0;
    std::array<std::uint8_t, 3> first;
    ostrel_pq::crypto::shake128(seed, first);
    const std::int32_t cand = first[0] | first[1] << 8 | (first[2] & 0x7F) << 16;
    ASSERT_LT(cand, kQ);  // true for this rho, so it is accepted as the first coefficient
    EXPECT_EQ(a.row[0].v[1].c[0], cand);
    EXPECT_NE(a.row[0].v[1].c[0], a.row[1].v[0].c[0]);
}

// The AVX2 transforms and pointwise product against the portable ones on
// inputs spread over their whole documented domains (|a| < q for the NTT,
// |a| < 8q for the inverse, NTT outputs for the product), including the
// extreme values, lane for lane.
TEST(MlDsa65Ntt, Avx2TransformsAreBitIdenticalToPortable) {
    if (!ostrel_pq::crypto::cpu_has_avx2()) GTEST_SKIP() << "CPU without AVX2";
    std::mt19937 gen(8380417);
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        std::int32_t fwd_in[kN], inv_in[kN], b[kN];
        for (int i = 0; i < kN; ++i) {
            fwd_in[i] = static_cast<std::int32_t>(gen() % (2 * kQ - 1)) - (kQ - 1);
            inv_in[i] = static_cast<std::int32_t>(gen() % (16 * kQ - 1)) - (8 * kQ - 1);
            b[i] = static_cast<std::int32_t>(gen() % (18 * kQ - 1)) - (9 * kQ - 1);
        }
        if (trial == 0) {
            for (int i = 0; i < kN; ++i) {
                fwd_in[i] = i % 2 ? kQ - 1 : -(kQ - 1);
                inv_in[i] = i % 3 ? 8 * kQ - 1 : -(8 * kQ - 1);
                b[i] = i % 5 ? 9 * kQ - 1 : -(9 * kQ - 1);
            }
        }
        std::int32_t p[kN], v[kN];
        std::copy(fwd_in, fwd_in + kN, p);
        std::copy(fwd_in, fwd_in + kN, v);
        ntt_portable(p);
        ntt_avx2(v);
        ASSERT_TRUE(std::equal(p, p + kN, v)) << "NTT";

        std::int32_t pp[kN], pv[kN];
        Poly pa, pb, pc;
        std::copy(p, p + kN, pa.c);
        std::copy(b, b + kN, pb.c);
        {
            const ostrel_pq::crypto::ScopedForcePortable portable(true);
            poly_pointwise_montgomery(pc, pa, pb);
        }
        std::copy(pc.c, pc.c + kN, pp);
        pointwise_montgomery_avx2(pv, p, b);
        ASSERT_TRUE(std::equal(pp, pp + kN, pv)) << "pointwise";

        std::copy(inv_in, inv_in + kN, p);
        std::copy(inv_in, inv_in + kN, v);
        invntt_from_montgomery_portable(p);
        invntt_from_montgomery_avx2(v);
        ASSERT_TRUE(std::equal(p, p + kN, v)) << "inverse NTT";
    }
}

// The AVX2 Decompose against the scalar one on every residue mod q (and
// the scalar one is checked against the standard's definition above).
TEST(MlDsa65Rounding, Avx2DecomposeMatchesScalarForEveryResidue) {
    if (!ostrel_pq::crypto::cpu_has_avx2()) GTEST_SKIP() << "CPU without AVX2";
    std::int32_t r[kN], r1[kN], r0[kN];
    for (std::int32_t base = 0; base < kQ; base += kN) {
        for (int i = 0; i < kN; ++i) r[i] = std::min(base + i, kQ - 1);
        poly_decompose_avx2(r1, r0, r);
        for (int i = 0; i < kN; ++i) {
            std::int32_t want0;
            const std::int32_t want1 = decompose(r[i], want0);
            ASSERT_EQ(r1[i], want1) << "r " << r[i];
            ASSERT_EQ(r0[i], want0) << "r " << r[i];
        }
    }
}

// The four-way samplers against the one-stream ones, over many seeds and
// over mask nonces that carry into the high byte (kappa near 256 and
// 65535 so kappa + r wraps).
template <class T>
bool same_bytes(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

TEST(MlDsa65Sampling, FourWaySamplersMatchPortableOnes) {
    using ostrel_pq::crypto::ScopedForcePortable;
    std::mt19937 gen(20261211);
    for (int trial = 0; trial < 24; ++trial) {
        std::array<std::uint8_t, kSeedBytes> rho;
        std::array<std::uint8_t, kRhoPrimeBytes> rho_prime;
        for (auto& b : rho) b = static_cast<std::uint8_t>(gen());
        for (auto& b : rho_prime) b = static_cast<std::uint8_t>(gen());
        const std::uint16_t kappa = std::array<std::uint16_t, 4>{0, 253, 65533, 5 * 777}[trial % 4];
        SCOPED_TRACE(testing::Message() << "trial " << trial << " kappa " << kappa);

        auto a_portable = std::make_unique<Matrix>();
        auto a_vector = std::make_unique<Matrix>();
        PolyVecL s1_portable, s1_vector, y_portable, y_vector;
        PolyVecK s2_portable, s2_vector;
        {
            const ScopedForcePortable path(true);
            expand_a(*a_portable, rho);
            expand_s(s1_portable, s2_portable, rho_prime);
            expand_mask(y_portable, rho_prime, kappa);
        }
        {
            const ScopedForcePortable path(false);
            expand_a(*a_vector, rho);
            expand_s(s1_vector, s2_vector, rho_prime);
            expand_mask(y_vector, rho_prime, kappa);
        }
        EXPECT_TRUE(same_bytes(*a_portable, *a_vector));
        EXPECT_TRUE(same_bytes(s1_portable, s1_vector));
        EXPECT_TRUE(same_bytes(s2_portable, s2_vector));
        EXPECT_TRUE(same_bytes(y_portable, y_vector));
    }
}

// --------------------------------------------------------------- packing

TEST(MlDsa65Packing, PolynomialEncodingsRoundTripAtTheirExtremes) {
    Poly z{}, t0{}, t1{}, s{};
    for (int i = 0; i < kN; ++i) {
        z.c[i] = (i % 3 == 0) ? kGamma1 : (i % 3 == 1) ? -kGamma1 + 1 : i * 1000 - 100000;
        t0.c[i] = (i % 2 == 0) ? (1 << 12) : -(1 << 12) + 1;
        t1.c[i] = (i * 97) % 1024;
        s.c[i] = (i % 9) - 4;
    }
    t1.c[7] = 1023;
    Poly back;
    std::array<std::uint8_t, kPolyZBytes> zb;
    pack_z(zb, z);
    unpack_z(back, zb);
    for (int i = 0; i < kN; ++i) ASSERT_EQ(back.c[i], z.c[i]) << "z " << i;
    std::array<std::uint8_t, kPolyT0Bytes> t0b;
    pack_t0(t0b, t0);
    unpack_t0(back, t0b);
    for (int i = 0; i < kN; ++i) ASSERT_EQ(back.c[i], t0.c[i]) << "t0 " << i;
    std::array<std::uint8_t, kPolyT1Bytes> t1b;
    pack_t1(t1b, t1);
    unpack_t1(back, t1b);
    for (int i = 0; i < kN; ++i) ASSERT_EQ(back.c[i], t1.c[i]) << "t1 " << i;
    std::array<std::uint8_t, kPolyEtaBytes> sb;
    pack_eta(sb, s);
    unpack_eta(back, sb);
    for (int i = 0; i < kN; ++i) ASSERT_EQ(back.c[i], s.c[i]) << "eta " << i;
    // Bit order: z[0] = gamma1 is the field 0, z[1] = -gamma1 + 1 the field 2^20 - 1.
    EXPECT_EQ(zb[0], 0x00);
    EXPECT_EQ(zb[1], 0x00);
    EXPECT_EQ(zb[2], 0xF0);
    EXPECT_EQ(zb[3], 0xFF);
    EXPECT_EQ(zb[4], 0xFF);
}

using HintBytes = std::array<std::uint8_t, kOmega + kK>;

TEST(MlDsa65Packing, HintEncodingRoundTripsUpToOmega) {
    PolyVecK h{};
    // 55 ones: 10 in each of the first five polynomials, 5 in the last.
    for (int i = 0; i < kK; ++i)
        for (int j = 0; j < (i < 5 ? 10 : 5); ++j) h.v[i].c[j * 25 + i] = 1;
    HintBytes enc;
    hint_bit_pack(enc, h);
    EXPECT_EQ(enc[kOmega + kK - 1], kOmega);
    PolyVecK back;
    ASSERT_TRUE(hint_bit_unpack(back, enc));
    for (int i = 0; i < kK; ++i)
        for (int j = 0; j < kN; ++j) ASSERT_EQ(back.v[i].c[j], h.v[i].c[j]);
}

TEST(MlDsa65Packing, MalformedHintEncodingsAreRejected) {
    // Valid base: polynomial 0 has ones at 3 and 9, polynomial 2 at 0, counts 2,2,3,3,3,3.
    HintBytes base{};
    base[0] = 3;
    base[1] = 9;
    base[2] = 0;
    const std::uint8_t counts[kK] = {2, 2, 3, 3, 3, 3};
    for (int i = 0; i < kK; ++i) base[kOmega + i] = counts[i];
    PolyVecK h;
    ASSERT_TRUE(hint_bit_unpack(h, base));
    EXPECT_EQ(h.v[0].c[3], 1);
    EXPECT_EQ(h.v[0].c[9], 1);
    EXPECT_EQ(h.v[2].c[0], 1);

    struct Case {
        const char* why;
        void (*mutate)(HintBytes&);
    };
    const Case cases[] = {
        {"indexes not increasing", [](HintBytes& b) { std::swap(b[0], b[1]); }},
        {"repeated index", [](HintBytes& b) { b[1] = 3; }},
        {"nonzero padding", [](HintBytes& b) { b[kOmega - 1] = 1; }},
        {"padding right after the last index", [](HintBytes& b) { b[3] = 7; }},
        {"count above omega", [](HintBytes& b) { b[kOmega + kK - 1] = kOmega + 1; }},
        {"decreasing counts", [](HintBytes& b) { b[kOmega + 1] = 1; }},
        {"first count above omega", [](HintBytes& b) { b[kOmega] = 255; }},
    };
    for (const auto& c : cases) {
        HintBytes b = base;
        c.mutate(b);
        EXPECT_FALSE(hint_bit_unpack(h, b)) << c.why;
    }
    // An index of 0 after another polynomial's indexes is fine (ordering is
    // per polynomial); so is a maximal index 255.
    HintBytes ok = base;
    ok[2] = 255;
    EXPECT_TRUE(hint_bit_unpack(h, ok));
}

}  // namespace
