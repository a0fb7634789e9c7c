// The arithmetic under ML-KEM-768, checked against direct statements of the
// FIPS 203 definitions: modular reduction, Compress/Decompress (eq. 4.7, 4.8),
// ByteEncode/ByteDecode (Algorithms 5, 6), SamplePolyCBD (Algorithm 8) and
// the NTT (Algorithms 9-11) against schoolbook arithmetic in Z_q[X]/(X^256+1).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mlkem768_ntt.hpp"
#include "pq/crypto/mlkem768_ntt_avx2.hpp"
#include "pq/crypto/mlkem768_polyvec.hpp"
#include "pq/crypto/mlkem768_poly.hpp"
#include "pq/crypto/mlkem768_reduce.hpp"
#include "pq/crypto/mlkem768_sampling.hpp"

namespace {

using namespace ostrel_pq::crypto::mlkem;

constexpr std::int64_t q = kQ;

std::int64_t mod_q(std::int64_t x) { return ((x % q) + q) % q; }

std::int64_t pow_mod(std::int64_t b, std::int64_t e) {
    std::int64_t r = 1;
    b = mod_q(b);
    for (; e > 0; e >>= 1) {
        if (e & 1) r = r * b % q;
        b = b * b % q;
    }
    return r;
}

unsigned bit_rev7(unsigned i) {
    unsigned r = 0;
    for (unsigned b = 0; b < 7; ++b) r |= ((i >> b) & 1u) << (6 - b);
    return r;
}

Poly random_poly(std::mt19937& rng, int lo, int hi) {
    std::uniform_int_distribution<int> dist(lo, hi);
    Poly p;
    for (auto& c : p.c) c = static_cast<std::int16_t>(dist(rng));
    return p;
}

TEST(MlKem768Reduce, BarrettIsCenteredForEveryInt16) {
    for (std::int32_t a = INT16_MIN; a <= INT16_MAX; ++a) {
        const std::int16_t r = barrett_reduce(static_cast<std::int16_t>(a));
        ASSERT_EQ(mod_q(r), mod_q(a)) << a;
        ASSERT_LE(std::abs(r), (q - 1) / 2) << a;
    }
}

TEST(MlKem768Reduce, CanonicalIsInZeroToQForEveryInt16) {
    for (std::int32_t a = INT16_MIN; a <= INT16_MAX; ++a) {
        const std::int16_t r = canonical(static_cast<std::int16_t>(a));
        ASSERT_EQ(r, mod_q(a)) << a;
    }
}

TEST(MlKem768Reduce, MontgomeryMatchesDefinitionAcrossItsDomain) {
    const std::int64_t r_inv = pow_mod(1 << 16, q - 2);
    const std::int64_t limit = q * (std::int64_t{1} << 15);
    std::mt19937 rng(1);
    std::uniform_int_distribution<std::int64_t> dist(-limit + 1, limit - 1);
    std::vector<std::int64_t> inputs = {0, 1, -1, limit - 1, -limit + 1, q, -q};
    for (int i = 0; i < 200000; ++i) inputs.push_back(dist(rng));
    for (const std::int64_t a : inputs) {
        const std::int16_t r = montgomery_reduce(static_cast<std::int32_t>(a));
        ASSERT_EQ(mod_q(r), mod_q(a * r_inv)) << a;
        ASSERT_LT(std::abs(r), q) << a;
    }
}

TEST(MlKem768Compress, MatchesRoundedDivisionForEveryInput) {
    for (const unsigned d : {1u, 4u, 5u, 10u, 11u}) {
        const std::int64_t two_d = std::int64_t{1} << d;
        for (std::int64_t x = 0; x < q; ++x) {
            // round(2^d x / q) = floor((2^(d+1) x + q) / 2q), then mod 2^d.
            const std::int64_t expected = ((two_d * 2 * x + q) / (2 * q)) % two_d;
            ASSERT_EQ(compress(static_cast<std::int16_t>(x), d), expected) << "d=" << d << " x=" << x;
        }
        for (std::int64_t y = 0; y < two_d; ++y) {
            // round(q y / 2^d), ties up.
            const std::int64_t expected = (2 * q * y + two_d) / (2 * two_d);
            ASSERT_EQ(decompress(static_cast<std::uint16_t>(y), d), expected) << "d=" << d << " y=" << y;
        }
    }
}

TEST(MlKem768Compress, RoundTripErrorIsWithinTheStandardBound) {
    // FIPS 203 section 4.2.1: |Decompress_d(Compress_d(x)) - x| mod+- q <= round(q / 2^(d+1)).
    for (const unsigned d : {1u, 4u, 10u, 11u}) {
        const std::int64_t bound = (q + (std::int64_t{1} << d)) / (std::int64_t{1} << (d + 1));
        for (std::int64_t x = 0; x < q; ++x) {
            const std::int64_t back = decompress(compress(static_cast<std::int16_t>(x), d), d);
            std::int64_t diff = mod_q(back - x);
            if (diff > q / 2) diff -= q;
            ASSERT_LE(std::abs(diff), bound) << "d=" << d << " x=" << x;
        }
    }
}

TEST(MlKem768Encode, ByteEncodeFollowsTheBitOrderOfAlgorithm5) {
    std::mt19937 rng(2);
    for (const unsigned d : {1u, 4u, 10u, 11u}) {
        const Poly a = random_poly(rng, 0, (1 << d) - 1);
        std::vector<std::uint8_t> out(32 * d);
        byte_encode(out, a, d);
        // Bit j of coefficient i is bit (i*d + j) of the output, bytes little-endian.
        for (std::size_t i = 0; i < kN; ++i) {
            for (unsigned j = 0; j < d; ++j) {
                const std::size_t bit = i * d + j;
                ASSERT_EQ((out[bit / 8] >> (bit % 8)) & 1, (a.c[i] >> j) & 1) << "d=" << d << " i=" << i;
            }
        }
        Poly back;
        byte_decode(back, out, d);
        EXPECT_EQ(back.c, a.c) << "d=" << d;
    }
}

TEST(MlKem768Encode, TwelveBitEncodingCanonicalisesAndDecodingReducesModQ) {
    std::mt19937 rng(3);
    const Poly a = random_poly(rng, -32768, 32767);  // any representative
    std::array<std::uint8_t, kPolyBytes> bytes{};
    poly_to_bytes(bytes, a);
    EXPECT_TRUE(poly_bytes_are_reduced(bytes));
    Poly back;
    poly_from_bytes(back, bytes);
    for (std::size_t i = 0; i < kN; ++i) ASSERT_EQ(back.c[i], mod_q(a.c[i])) << i;

    // Coefficient 1 set to 4095: ByteDecode_12 must give 4095 mod q = 766 and
    // the modulus check must fail; q - 1 passes.
    bytes[1] = static_cast<std::uint8_t>(bytes[1] | 0xF0);
    bytes[2] = 0xFF;
    EXPECT_FALSE(poly_bytes_are_reduced(bytes));
    poly_from_bytes(back, bytes);
    EXPECT_EQ(back.c[1], 4095 - q);
    bytes[1] = static_cast<std::uint8_t>((bytes[1] & 0x0F) | ((q - 1) & 0x0F) << 4);
    bytes[2] = static_cast<std::uint8_t>((q - 1) >> 4);
    EXPECT_TRUE(poly_bytes_are_reduced(bytes));
    bytes[2] = static_cast<std::uint8_t>(q >> 4);  // exactly q
    bytes[1] = static_cast<std::uint8_t>((bytes[1] & 0x0F) | (q & 0x0F) << 4);
    EXPECT_FALSE(poly_bytes_are_reduced(bytes));
}

TEST(MlKem768Encode, MessageBitsMapToZeroAndHalfQAndBack) {
    std::array<std::uint8_t, kSymBytes> m{};
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(0x5A ^ (i * 37));
    Poly p;
    poly_from_message(p, m);
    for (std::size_t i = 0; i < kN; ++i) ASSERT_EQ(p.c[i], ((m[i / 8] >> (i % 8)) & 1) ? 1665 : 0);
    // Noise below q/4 in either direction still decodes to the same bits.
    for (std::size_t i = 0; i < kN; ++i) p.c[i] = static_cast<std::int16_t>(p.c[i] + ((i % 2) ? 830 : -830));
    std::array<std::uint8_t, kSymBytes> back{};
    poly_to_message(back, p);
    EXPECT_EQ(back, m);
}

TEST(MlKem768Sampling, CbdEta2MatchesAlgorithm8BitByBit) {
    std::array<std::uint8_t, 128> bytes{};
    std::mt19937 rng(4);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    Poly p;
    cbd_eta2(p, bytes);
    auto bit = [&](std::size_t k) { return (bytes[k / 8] >> (k % 8)) & 1; };
    for (std::size_t i = 0; i < kN; ++i) {
        const int x = bit(4 * i) + bit(4 * i + 1);
        const int y = bit(4 * i + 2) + bit(4 * i + 3);
        ASSERT_EQ(p.c[i], x - y) << i;
    }
}

// NTT(f) per the definition in FIPS 203 section 4.3:
// f_hat[2i] = sum_j f[2j] zeta^((2 BitRev7(i) + 1) j), likewise for odd indexes.
std::vector<std::int64_t> ntt_by_definition(const Poly& f) {
    std::vector<std::int64_t> out(kN);
    for (unsigned i = 0; i < 128; ++i) {
        const std::int64_t root = pow_mod(17, 2 * bit_rev7(i) + 1);
        std::int64_t even = 0;
        std::int64_t odd = 0;
        std::int64_t power = 1;
        for (unsigned j = 0; j < 128; ++j) {
            even = (even + mod_q(f.c[2 * j]) * power) % q;
            odd = (odd + mod_q(f.c[2 * j + 1]) * power) % q;
            power = power * root % q;
        }
        out[2 * i] = even;
        out[2 * i + 1] = odd;
    }
    return out;
}

// The AVX2 transforms and base-case products against the portable ones,
// lane for lane, on random inputs over their domains (the forward NTT takes
// |f| < q; the inverse and the products take any int16 the callers pass,
// which stay below 2^15 here) and on the extreme values.
TEST(MlKem768Ntt, Avx2TransformsAreBitIdenticalToPortable) {
    if (!ostrel_pq::crypto::cpu_has_avx2()) GTEST_SKIP() << "CPU without AVX2";
    std::mt19937 gen(3329);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        Coeffs f, g, h0;
        for (std::size_t i = 0; i < kN; ++i) {
            f[i] = static_cast<std::int16_t>(static_cast<int>(gen() % (2 * kQ - 1)) - (kQ - 1));
            g[i] = static_cast<std::int16_t>(static_cast<int>(gen() % 65536) - 32768);
            h0[i] = static_cast<std::int16_t>(static_cast<int>(gen() % (8 * kQ)) - 4 * kQ);
        }
        if (trial == 0) {
            for (std::size_t i = 0; i < kN; ++i) {
                f[i] = static_cast<std::int16_t>(i % 2 ? kQ - 1 : -(kQ - 1));
                g[i] = static_cast<std::int16_t>(i % 3 ? 32767 : -32768);
            }
        }
        Coeffs p = f, v = f;
        ntt_portable(p);
        ntt_avx2(v);
        ASSERT_EQ(p, v) << "NTT";

        Coeffs ip = g, iv = g;
        inverse_ntt_to_plain_portable(ip);
        inverse_ntt_to_plain_avx2(iv);
        ASSERT_EQ(ip, iv) << "inverse NTT";

        Coeffs bp, bv;
        basemul_montgomery_portable(bp, p, g);
        basemul_montgomery_avx2(bv, p, g);
        ASSERT_EQ(bp, bv) << "basemul";
        Coeffs ap = h0, av = h0;
        basemul_montgomery_accumulate_portable(ap, p, f);
        basemul_montgomery_accumulate_avx2(av, p, f);
        ASSERT_EQ(ap, av) << "basemul accumulate";
    }
}

// The AVX2 candidate parse against the scalar one: same count and the same
// coefficients, from empty and part-filled polynomials, over lengths that
// end inside and exactly at a vector step, with byte values biased high so
// that many candidates are rejected.
TEST(MlKem768Sampling, Avx2RejectionParseMatchesScalar) {
    if (!ostrel_pq::crypto::cpu_has_avx2()) GTEST_SKIP() << "CPU without AVX2";
    std::mt19937 gen(4096);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t len = std::array<std::size_t, 5>{3, 24, 168, 336, 504}[trial % 5];
        const std::size_t start = std::array<std::size_t, 4>{0, 100, 250, 255}[(trial / 5) % 4];
        std::vector<std::uint8_t> buf(len);
        for (auto& b : buf) b = static_cast<std::uint8_t>(trial % 3 == 0 ? 0xC0 | gen() : gen());
        std::int16_t a[kN + kRejUniformSlack] = {};
        std::int16_t b[kN + kRejUniformSlack] = {};
        const std::size_t na = rej_uniform_portable(a, start, buf.data(), len);
        const std::size_t nb = rej_uniform_avx2(b, start, buf.data(), len);
        ASSERT_EQ(na, nb) << "trial " << trial;
        for (std::size_t i = 0; i < na; ++i) ASSERT_EQ(a[i], b[i]) << "trial " << trial << " i " << i;
    }
}

// The AVX2 compression against Compress_d of the canonical value for every
// int16 input and every width.
TEST(MlKem768Compress, Avx2MatchesScalarForEveryInt16AndWidth) {
    if (!ostrel_pq::crypto::cpu_has_avx2()) GTEST_SKIP() << "CPU without AVX2";
    for (unsigned d = 1; d <= 11; ++d) {
        for (int base = -32768; base < 32768; base += static_cast<int>(kN)) {
            std::int16_t in[kN], out[kN];
            for (std::size_t i = 0; i < kN; ++i) in[i] = static_cast<std::int16_t>(base + static_cast<int>(i));
            compress_poly_avx2(out, in, d);
            for (std::size_t i = 0; i < kN; ++i) {
                ASSERT_EQ(static_cast<std::uint16_t>(out[i]), compress(canonical(in[i]), d)) << "d " << d << " x " << in[i];
            }
        }
    }
}

// The four-way matrix and noise samplers against the one-stream ones, for
// A-hat and its transpose and for every batch size the callers use (and
// the odd ones the batching pads).
TEST(MlKem768Sampling, FourWaySamplersMatchPortableOnes) {
    using ostrel_pq::crypto::ScopedForcePortable;
    std::mt19937 gen(1211);
    for (int trial = 0; trial < 16; ++trial) {
        std::array<std::uint8_t, kSymBytes> seed;
        for (auto& b : seed) b = static_cast<std::uint8_t>(gen());
        for (const bool transposed : {false, true}) {
            PolyMatrix portable;
            PolyMatrix vector;
            {
                const ScopedForcePortable path(true);
                generate_matrix(portable, seed, transposed);
            }
            {
                const ScopedForcePortable path(false);
                generate_matrix(vector, seed, transposed);
            }
            EXPECT_EQ(std::memcmp(&portable, &vector, sizeof(PolyMatrix)), 0) << "trial " << trial;
        }
        for (std::size_t count = 1; count <= 8; ++count) {
            const auto first_nonce = static_cast<std::uint8_t>(trial * 17);
            Poly many[8];
            Poly* dst[8];
            for (std::size_t k = 0; k < 8; ++k) dst[k] = &many[k];
            const ScopedForcePortable path(false);
            sample_cbd_eta2_many(dst, count, seed, first_nonce);
            for (std::size_t k = 0; k < count; ++k) {
                Poly one;
                sample_cbd_eta2(one, seed, static_cast<std::uint8_t>(first_nonce + k));
                EXPECT_EQ(one.c, many[k].c) << "trial " << trial << " count " << count << " k " << k;
            }
        }
    }
}

TEST(MlKem768Ntt, ForwardTransformMatchesDefinition) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 4; ++trial) {
        Poly f = random_poly(rng, -(q - 1), q - 1);
        const auto expected = ntt_by_definition(f);
        poly_ntt(f);
        for (std::size_t i = 0; i < kN; ++i) {
            ASSERT_LE(std::abs(f.c[i]), (q - 1) / 2);
            ASSERT_EQ(mod_q(f.c[i]), expected[i]) << "trial " << trial << " index " << i;
        }
    }
}

TEST(MlKem768Ntt, InverseTransformUndoesForwardUpToMontgomeryFactor) {
    std::mt19937 rng(6);
    const Poly f = random_poly(rng, -(q - 1), q - 1);
    Poly g = f;
    poly_ntt(g);
    poly_inverse_ntt_to_plain(g);
    for (std::size_t i = 0; i < kN; ++i) {
        ASSERT_LT(std::abs(g.c[i]), q);
        ASSERT_EQ(mod_q(g.c[i]), mod_q(f.c[i] * std::int64_t{kMontR})) << i;
    }
}

TEST(MlKem768Ntt, NttProductEqualsNegacyclicSchoolbookProduct) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 3; ++trial) {
        const Poly a = random_poly(rng, -(q - 1) / 2, (q - 1) / 2);
        const Poly b = random_poly(rng, -(q - 1) / 2, (q - 1) / 2);
        std::vector<std::int64_t> expected(kN, 0);
        for (std::size_t i = 0; i < kN; ++i) {
            for (std::size_t j = 0; j < kN; ++j) {
                const std::int64_t prod = std::int64_t{a.c[i]} * b.c[j];
                if (i + j < kN) {
                    expected[i + j] += prod;
                } else {
                    expected[i + j - kN] -= prod;  // X^256 = -1
                }
            }
        }
        Poly ah = a;
        Poly bh = b;
        poly_ntt(ah);
        poly_ntt(bh);
        Poly c;
        poly_basemul_montgomery(c, ah, bh);
        poly_reduce(c);
        poly_inverse_ntt_to_plain(c);
        for (std::size_t i = 0; i < kN; ++i) ASSERT_EQ(mod_q(c.c[i]), mod_q(expected[i])) << "trial " << trial << " i " << i;
    }
}

}  // namespace
