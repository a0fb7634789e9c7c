// Pseudorandom sampling for ML-DSA-65 (FIPS 204 section 7.3): the challenge
// polynomial, the public matrix, the secret vectors and the masking vector.
// Internal to the ML-DSA-65 implementation.
#pragma once

#include <cstdint>
#include <span>

#include "pq/crypto/mldsa65_polyvec.hpp"

namespace ostrel_pq::crypto::mldsa65 {

// FIPS 204 Algorithm 29 (SampleInBall): c with exactly tau = 49 coefficients
// in {-1, 1}, the rest 0, from the 48-byte c~. The positions are written
// without secret-dependent indexes; the number of bytes drawn varies (the
// rejection of candidate positions is part of the algorithm).
void sample_in_ball(Poly& c, std::span<const std::uint8_t, kCTildeBytes> c_tilde) noexcept;

// FIPS 204 Algorithm 30 (RejNTTPoly) with seed rho || s || r (34 bytes):
// uniform coefficients in [0, q), already in the NTT domain. Public input.
void rej_ntt_poly(Poly& a, std::span<const std::uint8_t, kSeedBytes> rho, std::uint8_t s,
                  std::uint8_t r) noexcept;

// FIPS 204 Algorithm 32 (ExpandA): A-hat[r][s] = RejNTTPoly(rho || s || r).
void expand_a(Matrix& a, std::span<const std::uint8_t, kSeedBytes> rho) noexcept;

// FIPS 204 Algorithm 31 (RejBoundedPoly) for eta = 4, seed rho' || nonce
// (nonce as 2 bytes, little-endian): coefficients in [-4, 4]. No branch
// depends on a coefficient's value; which half-bytes are rejected shows in
// the slot written next and in when the loop ends, and reveals nothing about
// the accepted coefficients.
void rej_bounded_poly(Poly& a, std::span<const std::uint8_t, kRhoPrimeBytes> rho_prime,
                      std::uint16_t nonce) noexcept;

// FIPS 204 Algorithm 33 (ExpandS): s1[r] from nonce r, s2[r] from nonce r + l.
void expand_s(PolyVecL& s1, PolyVecK& s2, std::span<const std::uint8_t, kRhoPrimeBytes> rho_prime) noexcept;

// FIPS 204 Algorithm 34 (ExpandMask): y[r] = BitUnpack(H(rho'' || kappa + r,
// 640), gamma1 - 1, gamma1), coefficients in (-gamma1, gamma1].
void expand_mask(PolyVecL& y, std::span<const std::uint8_t, kRhoPrimeBytes> rho_second,
                 std::uint16_t kappa) noexcept;

}  // namespace ostrel_pq::crypto::mldsa65
