// Polynomials of R_q = Z_q[X]/(X^256 + 1) and their byte forms: ByteEncode /
// ByteDecode (FIPS 203 Algorithms 5 and 6) and Compress / Decompress
// (FIPS 203 section 4.2.1, equations 4.7 and 4.8). All functions are
// constant-time in the coefficient values: compression uses multiplication
// by a fixed reciprocal instead of division, and encodings use fixed loops.
#pragma once

#include <cstdint>
#include <span>

#include "pq/crypto/mlkem768_ntt.hpp"
#include "pq/crypto/mlkem768_params.hpp"

namespace ostrel_pq::crypto::mlkem {

struct Poly {
    Coeffs c{};
};

// Compress_d(x) = round(2^d / q * x) mod 2^d for x in [0, q), 1 <= d <= 11.
std::uint16_t compress(std::int16_t x, unsigned d) noexcept;
// Decompress_d(y) = round(q / 2^d * y) for y in [0, 2^d), 1 <= d <= 11.
std::int16_t decompress(std::uint16_t y, unsigned d) noexcept;

void poly_add(Poly& r, const Poly& a, const Poly& b) noexcept;  // no reduction
void poly_sub(Poly& r, const Poly& a, const Poly& b) noexcept;  // no reduction
void poly_reduce(Poly& r) noexcept;                            // Barrett, centered
void poly_to_mont(Poly& r) noexcept;                           // r * R mod q, |r| < q
void poly_ntt(Poly& r) noexcept;                               // Algorithm 9
void poly_inverse_ntt_to_plain(Poly& r) noexcept;              // Algorithm 10 times R
// (a o b) * R^-1 (Algorithm 11 times R^-1), inputs |.| < q.
void poly_basemul_montgomery(Poly& r, const Poly& a, const Poly& b) noexcept;

// ByteEncode_d (Algorithm 5) of coefficients that are already in [0, 2^d);
// out.size() must be 32 * d.
void byte_encode(std::span<std::uint8_t> out, const Poly& a, unsigned d) noexcept;
// ByteDecode_d (Algorithm 6) for d < 12: coefficients in [0, 2^d); in.size() == 32 * d.
void byte_decode(Poly& r, std::span<const std::uint8_t> in, unsigned d) noexcept;

// ByteEncode_12 of any polynomial: coefficients are first brought to [0, q).
void poly_to_bytes(std::span<std::uint8_t, kPolyBytes> out, const Poly& a) noexcept;
// ByteDecode_12: each 12-bit value is reduced mod q, as Algorithm 6 requires.
void poly_from_bytes(Poly& r, std::span<const std::uint8_t, kPolyBytes> in) noexcept;
// True when every 12-bit value of `in` is below q, i.e. when
// ByteEncode_12(ByteDecode_12(in)) == in (the modulus check of section 7.2).
bool poly_bytes_are_reduced(std::span<const std::uint8_t, kPolyBytes> in) noexcept;

// ByteEncode_d(Compress_d(a)) for any coefficient representative; out.size() == 32 * d.
void poly_compress(std::span<std::uint8_t> out, const Poly& a, unsigned d) noexcept;
// Decompress_d(ByteDecode_d(in)); in.size() == 32 * d.
void poly_decompress(Poly& r, std::span<const std::uint8_t> in, unsigned d) noexcept;

// Decompress_1(ByteDecode_1(m)): bit i of m becomes coefficient 0 or 1665.
void poly_from_message(Poly& r, std::span<const std::uint8_t, kSymBytes> m) noexcept;
// ByteEncode_1(Compress_1(a)).
void poly_to_message(std::span<std::uint8_t, kSymBytes> m, const Poly& a) noexcept;

}  // namespace ostrel_pq::crypto::mlkem
