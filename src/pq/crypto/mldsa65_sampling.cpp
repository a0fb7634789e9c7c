// Sampling from SHAKE output for ML-DSA-65 (FIPS 204 section 7.3).
#include "pq/crypto/mldsa65_sampling.hpp"

#include <array>

#include "pq/crypto/keccak.hpp"
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

// FIPS 204 Algorithm 30 (RejNTTPoly) with Algorithm 14 (CoeffFromThreeBytes)
void rej_ntt_poly(Poly& a, std::span<const std::uint8_t, kSeedBytes> rho, std::uint8_t s,
                  std::uint8_t r) noexcept {
    Shake128 xof;
    xof.absorb(rho);
    const std::uint8_t idx[2] = {s, r};
    xof.absorb(idx);
    std::array<std::uint8_t, Shake128::kRate> buf;  // 168 = 56 candidates
    int j = 0;
    while (j < kN) {
        xof.squeeze(buf);
        for (std::size_t p = 0; p + 3 <= buf.size() && j < kN; p += 3) {
            const std::int32_t z = buf[p] | (buf[p + 1] << 8) | ((buf[p + 2] & 0x7F) << 16);
            if (z < kQ) a.c[j++] = z;
        }
    }
}

// FIPS 204 Algorithm 32 (ExpandA)
void expand_a(Matrix& a, std::span<const std::uint8_t, kSeedBytes> rho) noexcept {
    for (int r = 0; r < kK; ++r) {
        for (int s = 0; s < kL; ++s) {
            rej_ntt_poly(a.row[r].v[s], rho, static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(r));
        }
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
    Shake256 xof;
    xof.absorb(rho_prime);
    const std::uint8_t n[2] = {static_cast<std::uint8_t>(nonce), static_cast<std::uint8_t>(nonce >> 8)};
    xof.absorb(n);
    std::array<std::uint8_t, Shake256::kRate> buf;
    std::int32_t out[kN + 2];
    std::uint32_t j = 0;
    while (j < kN) {
        xof.squeeze(buf);
        for (std::size_t p = 0; p < buf.size() && j < kN; ++p) {
            const std::uint32_t lo = buf[p] & 15u;
            const std::uint32_t hi = buf[p] >> 4;
            out[j] = 4 - static_cast<std::int32_t>(lo);
            j += (lo - 9u) >> 31;  // 1 when lo < 9
            out[j] = 4 - static_cast<std::int32_t>(hi);
            j += (hi - 9u) >> 31 & static_cast<std::uint32_t>(j < kN);
        }
    }
    for (int i = 0; i < kN; ++i) a.c[i] = out[i];
    ostrel_util::secure_wipe(out, sizeof(out));
    ostrel_util::secure_wipe(buf.data(), buf.size());
}

// FIPS 204 Algorithm 33 (ExpandS)
void expand_s(PolyVecL& s1, PolyVecK& s2, std::span<const std::uint8_t, kRhoPrimeBytes> rho_prime) noexcept {
    for (int r = 0; r < kL; ++r) rej_bounded_poly(s1.v[r], rho_prime, static_cast<std::uint16_t>(r));
    for (int r = 0; r < kK; ++r) rej_bounded_poly(s2.v[r], rho_prime, static_cast<std::uint16_t>(r + kL));
}

// FIPS 204 Algorithm 34 (ExpandMask)
void expand_mask(PolyVecL& y, std::span<const std::uint8_t, kRhoPrimeBytes> rho_second,
                 std::uint16_t kappa) noexcept {
    std::array<std::uint8_t, kPolyZBytes> v;
    for (int r = 0; r < kL; ++r) {
        const std::uint16_t nonce = static_cast<std::uint16_t>(kappa + r);
        const std::uint8_t n[2] = {static_cast<std::uint8_t>(nonce), static_cast<std::uint8_t>(nonce >> 8)};
        Shake256 xof;
        xof.absorb(rho_second);
        xof.absorb(n);
        xof.squeeze(v);
        unpack_z(y.v[r], v);
    }
    ostrel_util::secure_wipe(v.data(), v.size());
}

}  // namespace ostrel_pq::crypto::mldsa65
