// Byte encodings of ML-DSA-65 (FIPS 204 section 7.2): polynomials, keys,
// signatures and w1. Internal to the ML-DSA-65 implementation.
//
// The bit packers are branch-free in the coefficient values. Decoders take
// spans of exactly the right size; length checks belong to the callers.
#pragma once

#include <cstdint>
#include <span>

#include "pq/crypto/mldsa65_polyvec.hpp"

namespace ostrel_pq::crypto::mldsa65 {

// FIPS 204 Algorithms 16-19 for each coefficient width used by ML-DSA-65.
// Pack functions expect coefficients in the stated range.
void pack_t1(std::span<std::uint8_t, kPolyT1Bytes> out, const Poly& t1) noexcept;       // [0, 1023]
void unpack_t1(Poly& t1, std::span<const std::uint8_t, kPolyT1Bytes> in) noexcept;
void pack_eta(std::span<std::uint8_t, kPolyEtaBytes> out, const Poly& s) noexcept;      // [-4, 4]
// Any 4-bit field decodes (to [-11, 4]); key decoders check the range.
void unpack_eta(Poly& s, std::span<const std::uint8_t, kPolyEtaBytes> in) noexcept;
void pack_t0(std::span<std::uint8_t, kPolyT0Bytes> out, const Poly& t0) noexcept;       // (-2^12, 2^12]
void unpack_t0(Poly& t0, std::span<const std::uint8_t, kPolyT0Bytes> in) noexcept;
void pack_z(std::span<std::uint8_t, kPolyZBytes> out, const Poly& z) noexcept;          // (-gamma1, gamma1]
void unpack_z(Poly& z, std::span<const std::uint8_t, kPolyZBytes> in) noexcept;       // to [-gamma1 + 1, gamma1]
void pack_w1(std::span<std::uint8_t, kPolyW1Bytes> out, const Poly& w1) noexcept;       // [0, 15]

// FIPS 204 Algorithm 22 (pkEncode) / Algorithm 23 (pkDecode).
void pk_encode(std::span<std::uint8_t, kPublicKeyBytes> pk, std::span<const std::uint8_t, kSeedBytes> rho,
               const PolyVecK& t1) noexcept;
void pk_decode(std::span<std::uint8_t, kSeedBytes> rho, PolyVecK& t1,
               std::span<const std::uint8_t, kPublicKeyBytes> pk) noexcept;

// FIPS 204 Algorithm 24 (skEncode) / Algorithm 25 (skDecode).
void sk_encode(std::span<std::uint8_t, kSecretKeyBytes> sk, std::span<const std::uint8_t, kSeedBytes> rho,
               std::span<const std::uint8_t, kSeedBytes> key, std::span<const std::uint8_t, kTrBytes> tr,
               const PolyVecL& s1, const PolyVecK& s2, const PolyVecK& t0) noexcept;
// Returns false (after decoding everything) when a coefficient of s1 or s2
// lies outside [-eta, eta]; the check does not branch on the coefficients.
bool sk_decode(std::span<std::uint8_t, kSeedBytes> rho, std::span<std::uint8_t, kSeedBytes> key,
               std::span<std::uint8_t, kTrBytes> tr, PolyVecL& s1, PolyVecK& s2, PolyVecK& t0,
               std::span<const std::uint8_t, kSecretKeyBytes> sk) noexcept;

// FIPS 204 Algorithm 20 (HintBitPack): h has coefficients in {0, 1} and at
// most omega ones in total.
void hint_bit_pack(std::span<std::uint8_t, kOmega + kK> out, const PolyVecK& h) noexcept;
// FIPS 204 Algorithm 21 (HintBitUnpack): false (the standard's bottom) for a
// malformed encoding: a count above omega or below the previous one, indexes
// not strictly increasing within a polynomial, or a nonzero unused index byte.
bool hint_bit_unpack(PolyVecK& h, std::span<const std::uint8_t, kOmega + kK> in) noexcept;

// FIPS 204 Algorithm 26 (sigEncode) / Algorithm 27 (sigDecode). sig_decode
// returns false when the hint part is malformed.
void sig_encode(std::span<std::uint8_t, kSignatureBytes> sig, std::span<const std::uint8_t, kCTildeBytes> c_tilde,
                const PolyVecL& z, const PolyVecK& h) noexcept;
bool sig_decode(std::span<std::uint8_t, kCTildeBytes> c_tilde, PolyVecL& z, PolyVecK& h,
                std::span<const std::uint8_t, kSignatureBytes> sig) noexcept;

// FIPS 204 Algorithm 28 (w1Encode): 6 x 128 bytes.
inline constexpr std::size_t kW1EncodedBytes = kK * kPolyW1Bytes;
void w1_encode(std::span<std::uint8_t, kW1EncodedBytes> out, const PolyVecK& w1) noexcept;

}  // namespace ostrel_pq::crypto::mldsa65
