// Sampling for ML-KEM-768: SampleNTT (FIPS 203 Algorithm 7) for the public
// matrix A-hat and SamplePolyCBD (Algorithm 8) driven by PRF (section 4.1)
// for the secret and noise polynomials.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "pq/crypto/mlkem768_poly.hpp"

namespace ostrel_pq::crypto::mlkem {

// Algorithm 7: rejection-samples a polynomial in the NTT domain with
// coefficients in [0, q) from SHAKE128(rho || j || i). Its running time
// depends on rho, which is public.
void sample_ntt(Poly& r, std::span<const std::uint8_t, kSymBytes> rho, std::uint8_t j, std::uint8_t i) noexcept;

// Algorithm 8 with eta = 2 applied to PRF_2(sigma, nonce) =
// SHAKE256(sigma || nonce, 128): coefficients in [-2, 2] (as representatives
// mod q). Constant-time; the PRF output is wiped.
void sample_cbd_eta2(Poly& r, std::span<const std::uint8_t, kSymBytes> sigma, std::uint8_t nonce) noexcept;

// Four SampleNTT streams at once (four-way SHAKE128): r[k] from
// rho || j[k] || i[k]. Same output as four sample_ntt calls.
void sample_ntt_x4(Poly* const r[4], std::span<const std::uint8_t, kSymBytes> rho, const std::uint8_t j[4],
                   const std::uint8_t i[4]) noexcept;

// r[k] = sample_cbd_eta2(sigma, first_nonce + k) for k < count. With AVX2
// the PRF streams run four at a time; every buffer holding PRF output is
// wiped.
void sample_cbd_eta2_many(Poly* const r[], std::size_t count, std::span<const std::uint8_t, kSymBytes> sigma,
                          std::uint8_t first_nonce) noexcept;

// Algorithm 7's parse of `len` bytes of XOF output (a whole number of
// triples) into r[n], r[n + 1], ...; returns the new count, at most kN.
// r needs kRejUniformSlack slots beyond kN (candidates written past the last
// accepted one). The AVX2 form requires cpu_has_avx2().
inline constexpr std::size_t kRejUniformSlack = 16;
std::size_t rej_uniform_portable(std::int16_t* r, std::size_t n, const std::uint8_t* buf, std::size_t len) noexcept;
std::size_t rej_uniform_avx2(std::int16_t* r, std::size_t n, const std::uint8_t* buf, std::size_t len) noexcept;

// Algorithm 8 (SamplePolyCBD_2) on 128 given bytes.
void cbd_eta2(Poly& r, std::span<const std::uint8_t, 128> bytes) noexcept;

}  // namespace ostrel_pq::crypto::mlkem
