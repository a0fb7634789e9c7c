// Sampling from SHAKE output for ML-DSA-65 (FIPS 204 section 7.3).
#include "pq/crypto/mldsa65_sampling.hpp"

#include <array>

#include "pq/crypto/keccak.hpp"
#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mldsa65_packing.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::mldsa65 {

// FIPS 204 Algorithm 29 (SampleInBall)
void sample_in_ball(Poly& c, std::span<const std::uint8_t, kCTildeBytes> c_tilde) noexcept {
    Shake256 xof;
    xof.absorb(c_tilde);
    std::array<std::uint8_t, Shake256::kRate> buf;
    xof.squeeze(buf);
    // The first 8 bytes give the signs, one bit per nonzero coefficient.
    std::uint64_t signs = 0;
    for (int i = 0; i < 8; ++i) signs |= static_cast<std::uint64_t>(buf[i]) << (8 * i);
    std::size_t pos = 8;

    for (auto& x : c.c) x = 0;
    for (int i = kN - kTau; i < kN; ++i) {
        std::int32_t j;
        do {
            if (pos == buf.size()) {
                xof.squeeze(buf);
                pos = 0;
            }
            j = buf[pos++];
        } while (j > i);
        // c[i] = c[j]; c[j] = (-1)^sign, touching every position <= i so the
        // memory access pattern does not reveal j.
        const std::int32_t s = 1 - 2 * static_cast<std::int32_t>(signs & 1);
        signs >>= 1;
        std::int32_t cj = 0;
        for (int k = 0; k <= i; ++k) {
            const std::int32_t diff = k ^ j;
            const std::int32_t hit = ((diff | -diff) >> 31) ^ -1;  // -1 when k == j
            cj |= c.c[k] & hit;
            c.c[k] = (c.c[k] & ~hit) | (s & hit);
        }
        // When j == i the loop above already set c[i] = s, which is right
        // (c[i] = c[j] happens before c[j] = s); otherwise c[i] gets old c[j].
        const std::int32_t diff = i ^ j;
        const std::int32_t same = ((diff | -diff) >> 31) ^ -1;
        c.c[i] = (cj & ~same) | (s & same);
    }
    ostrel_util::secure_wipe(buf.data(), buf.size());
}

namespace {

// Algorithm 14 (CoeffFromThreeBytes) over a run of SHAKE128 output: each
// three bytes give a 23-bit candidate, kept when below q. Whole blocks of
// 168 bytes hold whole candidates, so parsing several blocks at once gives
// the same coefficients as parsing them one by one. Returns the new count.
int rej_uniform(std::int32_t* a, int j, const std::uint8_t* buf, std::size_t len) noexcept {
    for (std::size_t p = 0; p + 3 <= len && j < kN; p += 3) {
        const std::int32_t z = buf[p] | (buf[p + 1] << 8) | ((buf[p + 2] & 0x7F) << 16);
        if (z < kQ) a[j++] = z;
    }
    return j;
}

// Algorithm 15 (CoeffFromHalfByte) for eta = 4 over a run of SHAKE256
// output, as described at rej_bounded_poly. `out` has two spare slots for
// the candidates written past the last accepted one.
struct BoundedSampler {
    std::int32_t out[kN + 2];
    std::uint32_t j = 0;

    void consume(const std::uint8_t* buf, std::size_t len) noexcept {
        for (std::size_t p = 0; p < len && j < kN; ++p) {
            const std::uint32_t lo = buf[p] & 15u;
            const std::uint32_t hi = buf[p] >> 4;
            out[j] = 4 - static_cast<std::int32_t>(lo);
            j += (lo - 9u) >> 31;  // 1 when lo < 9
            out[j] = 4 - static_cast<std::int32_t>(hi);
            j += (hi - 9u) >> 31 & static_cast<std::uint32_t>(j < kN);
        }
    }
    bool done() const noexcept { return j >= kN; }
};

// The 34-byte RejNTTPoly seed rho || s || r and the 66-byte seed
// rho' || nonce (little-endian) of RejBoundedPoly and ExpandMask.
std::array<std::uint8_t, kSeedBytes + 2> seed_rho_sr(std::span<const std::uint8_t, kSeedBytes> rho, std::uint8_t s,
                                                     std::uint8_t r) noexcept {
    std::array<std::uint8_t, kSeedBytes + 2> in;
    for (std::size_t i = 0; i < kSeedBytes; ++i) in[i] = rho[i];
    in[kSeedBytes] = s;
    in[kSeedBytes + 1] = r;
    return in;
}

void seed_rho_nonce(std::array<std::uint8_t, kRhoPrimeBytes + 2>& in,
                    std::span<const std::uint8_t, kRhoPrimeBytes> rho_prime, std::uint16_t nonce) noexcept {
    for (std::size_t i = 0; i < kRhoPrimeBytes; ++i) in[i] = rho_prime[i];
    in[kRhoPrimeBytes] = static_cast<std::uint8_t>(nonce);
    in[kRhoPrimeBytes + 1] = static_cast<std::uint8_t>(nonce >> 8);
}

// Four RejNTTPoly streams at once. Five blocks (280 candidates) nearly
// always suffice; further blocks are drawn for all four while any needs them.
void rej_ntt_poly_x4(Poly* const a[4], std::span<const std::uint8_t, kSeedBytes> rho, const std::uint8_t s[4],
                     const std::uint8_t r[4]) noexcept {
    std::array<std::uint8_t, kSeedBytes + 2> in[4];
    for (int k = 0; k < 4; ++k) in[k] = seed_rho_sr(rho, s[k], r[k]);
    Shake128x4 xof;
    xof.absorb_once(in[0], in[1], in[2], in[3]);
    constexpr std::size_t kFirstBlocks = 5;
    std::uint8_t buf[4][kFirstBlocks * Shake128x4::kRate];
    xof.squeeze_blocks(buf[0], buf[1], buf[2], buf[3], kFirstBlocks);
    int j[4];
    for (int k = 0; k < 4; ++k) j[k] = rej_uniform(a[k]->c, 0, buf[k], sizeof(buf[k]));
    while (j[0] < kN || j[1] < kN || j[2] < kN || j[3] < kN) {
        xof.squeeze_blocks(buf[0], buf[1], buf[2], buf[3], 1);
        for (int k = 0; k < 4; ++k) j[k] = rej_uniform(a[k]->c, j[k], buf[k], Shake128x4::kRate);
    }
}

// Four RejBoundedPoly streams at once; two blocks (544 candidates) usually
// suffice. Which stream needed more blocks shows only through the loop's
// end, as in the one-stream version.
void rej_bounded_poly_x4(Poly* const a[4], std::span<const std::uint8_t, kRhoPrimeBytes> rho_prime,
                         const std::uint16_t nonce[4]) noexcept {
    std::array<std::uint8_t, kRhoPrimeBytes + 2> in[4];
    for (int k = 0; k < 4; ++k) seed_rho_nonce(in[k], rho_prime, nonce[k]);
    Shake256x4 xof;
    xof.absorb_once(in[0], in[1], in[2], in[3]);
    constexpr std::size_t kFirstBlocks = 2;
    std::uint8_t buf[4][kFirstBlocks * Shake256x4::kRate];
    BoundedSampler smp[4];
    xof.squeeze_blocks(buf[0], buf[1], buf[2], buf[3], kFirstBlocks);
    for (int k = 0; k < 4; ++k) smp[k].consume(buf[k], sizeof(buf[k]));
    while (!smp[0].done() || !smp[1].done() || !smp[2].done() || !smp[3].done()) {
        xof.squeeze_blocks(buf[0], buf[1], buf[2], buf[3], 1);
        for (int k = 0; k < 4; ++k) smp[k].consume(buf[k], Shake256x4::kRate);
    }
    for (int k = 0; k < 4; ++k) {
        for (int i = 0; i < kN; ++i) a[k]->c[i] = smp[k].out[i];
    }
    ostrel_util::secure_wipe(smp, sizeof(smp));
    ostrel_util::secure_wipe(buf, sizeof(buf));
    ostrel_util::secure_wipe(in, sizeof(in));
}

}  // namespace

// FIPS 204 Algorithm 30 (RejNTTPoly) with Algorithm 14 (CoeffFromThreeBytes)
void rej_ntt_poly(Poly& a, std::span<const std::uint8_t, kSeedBytes> rho, std::uint8_t s,
                  std::uint8_t r) noexcept {
    Shake128 xof;
    xof.absorb(seed_rho_sr(rho, s, r));
    std::array<std::uint8_t, Shake128::kRate> buf;  // 168 = 56 candidates
    int j = 0;
    while (j < kN) {
        xof.squeeze(buf);
        j = rej_uniform(a.c, j, buf.data(), buf.size());
    }
}

// FIPS 204 Algorithm 32 (ExpandA). With AVX2 the 30 entries run four
// streams at a time; the last batch repeats two entries into scratch.
void expand_a(Matrix& a, std::span<const std::uint8_t, kSeedBytes> rho) noexcept {
    if (!use_avx2()) {
        for (int r = 0; r < kK; ++r) {
            for (int s = 0; s < kL; ++s) {
                rej_ntt_poly(a.row[r].v[s], rho, static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(r));
            }
        }
        return;
    }
    constexpr int kEntries = kK * kL;
    Poly scratch[2];
    for (int t = 0; t < kEntries; t += 4) {
        Poly* dst[4];
        std::uint8_t s[4];
        std::uint8_t r[4];
        for (int k = 0; k < 4; ++k) {
            const int e = t + k < kEntries ? t + k : kEntries - 1;
            dst[k] = t + k < kEntries ? &a.row[e / kL].v[e % kL] : &scratch[(t + k - kEntries) & 1];
            s[k] = static_cast<std::uint8_t>(e % kL);
            r[k] = static_cast<std::uint8_t>(e / kL);
        }
        rej_ntt_poly_x4(dst, rho, s, r);
    }
}

// FIPS 204 Algorithm 31 (RejBoundedPoly) with Algorithm 15 (CoeffFromHalfByte)
// for eta = 4: a half-byte b < 9 gives 4 - b, larger ones are dropped. Every
// candidate is written to the next free slot and the slot index advances
// only when it was accepted, so no branch depends on a coefficient's value.
// The slot index and the loop's end show which half-bytes were rejected;
// those are independent of the accepted ones.
void rej_bounded_poly(Poly& a, std::span<const std::uint8_t, kRhoPrimeBytes> rho_prime,
                      std::uint16_t nonce) noexcept {
    std::array<std::uint8_t, kRhoPrimeBytes + 2> in;
    seed_rho_nonce(in, rho_prime, nonce);
    Shake256 xof;
    xof.absorb(in);
    std::array<std::uint8_t, Shake256::kRate> buf;
    BoundedSampler smp;
    while (!smp.done()) {
        xof.squeeze(buf);
        smp.consume(buf.data(), buf.size());
    }
    for (int i = 0; i < kN; ++i) a.c[i] = smp.out[i];
    ostrel_util::secure_wipe(&smp, sizeof(smp));
    ostrel_util::secure_wipe(buf.data(), buf.size());
    ostrel_util::secure_wipe(in.data(), in.size());
}

// FIPS 204 Algorithm 33 (ExpandS): s1[r] from nonce r, s2[r] from nonce
// r + l. With AVX2 the eleven polynomials run four at a time.
void expand_s(PolyVecL& s1, PolyVecK& s2, std::span<const std::uint8_t, kRhoPrimeBytes> rho_prime) noexcept {
    if (!use_avx2()) {
        for (int r = 0; r < kL; ++r) rej_bounded_poly(s1.v[r], rho_prime, static_cast<std::uint16_t>(r));
        for (int r = 0; r < kK; ++r) rej_bounded_poly(s2.v[r], rho_prime, static_cast<std::uint16_t>(r + kL));
        return;
    }
    constexpr int kPolys = kL + kK;
    Poly scratch;
    for (int t = 0; t < kPolys; t += 4) {
        Poly* dst[4];
        std::uint16_t nonce[4];
        for (int k = 0; k < 4; ++k) {
            const int e = t + k < kPolys ? t + k : kPolys - 1;
            dst[k] = t + k >= kPolys ? &scratch : e < kL ? &s1.v[e] : &s2.v[e - kL];
            nonce[k] = static_cast<std::uint16_t>(e);
        }
        rej_bounded_poly_x4(dst, rho_prime, nonce);
    }
    ostrel_util::secure_wipe(&scratch, sizeof(scratch));
}

// FIPS 204 Algorithm 34 (ExpandMask). With AVX2 the first four polynomials
// come from one four-way SHAKE256; 640 bytes take five blocks of 136.
void expand_mask(PolyVecL& y, std::span<const std::uint8_t, kRhoPrimeBytes> rho_second,
                 std::uint16_t kappa) noexcept {
    std::array<std::uint8_t, kRhoPrimeBytes + 2> in;
    std::array<std::uint8_t, kPolyZBytes> v;
    int r = 0;
    if (use_avx2()) {
        static_assert(kL >= 4);
        constexpr std::size_t kBlocks = (kPolyZBytes + Shake256x4::kRate - 1) / Shake256x4::kRate;
        std::array<std::uint8_t, kRhoPrimeBytes + 2> in4[4];
        std::uint8_t buf[4][kBlocks * Shake256x4::kRate];
        for (int k = 0; k < 4; ++k) seed_rho_nonce(in4[k], rho_second, static_cast<std::uint16_t>(kappa + k));
        Shake256x4 xof;
        xof.absorb_once(in4[0], in4[1], in4[2], in4[3]);
        xof.squeeze_blocks(buf[0], buf[1], buf[2], buf[3], kBlocks);
        for (int k = 0; k < 4; ++k) unpack_z(y.v[k], std::span<const std::uint8_t, kPolyZBytes>(buf[k], kPolyZBytes));
        ostrel_util::secure_wipe(buf, sizeof(buf));
        ostrel_util::secure_wipe(in4, sizeof(in4));
        r = 4;
    }
    for (; r < kL; ++r) {
        seed_rho_nonce(in, rho_second, static_cast<std::uint16_t>(kappa + r));
        Shake256 xof;
        xof.absorb(in);
        xof.squeeze(v);
        unpack_z(y.v[r], v);
    }
    ostrel_util::secure_wipe(v.data(), v.size());
    ostrel_util::secure_wipe(in.data(), in.size());
}

}  // namespace ostrel_pq::crypto::mldsa65
