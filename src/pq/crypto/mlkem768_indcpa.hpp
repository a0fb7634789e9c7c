// K-PKE, the public-key encryption scheme inside ML-KEM-768 (FIPS 203
// section 5). Not a secure scheme on its own: it is only used by the KEM in
// mlkem768.hpp. Every function is constant-time with respect to secret
// inputs (d, dk_PKE, m, r) and wipes its secret intermediates.
#pragma once

#include <cstdint>
#include <span>

#include "pq/crypto/mlkem768_params.hpp"

namespace ostrel_pq::crypto::mlkem {

// FIPS 203 Algorithm 13 (K-PKE.KeyGen): from the 32-byte seed d, writes
// ek_PKE = ByteEncode_12(t-hat) || rho and dk_PKE = ByteEncode_12(s-hat).
void indcpa_keygen(std::span<std::uint8_t, kEkBytes> ek, std::span<std::uint8_t, kDkPkeBytes> dk,
                   std::span<const std::uint8_t, kSymBytes> d) noexcept;

// FIPS 203 Algorithm 14 (K-PKE.Encrypt) of the 32-byte message m with
// randomness r. ek must have passed the modulus check (its coefficients are
// decoded mod q either way).
void indcpa_encrypt(std::span<std::uint8_t, kCiphertextBytes> c, std::span<const std::uint8_t, kEkBytes> ek,
                    std::span<const std::uint8_t, kSymBytes> m, std::span<const std::uint8_t, kSymBytes> r) noexcept;

// FIPS 203 Algorithm 15 (K-PKE.Decrypt): recovers the 32-byte message.
void indcpa_decrypt(std::span<std::uint8_t, kSymBytes> m, std::span<const std::uint8_t, kDkPkeBytes> dk,
                    std::span<const std::uint8_t, kCiphertextBytes> c) noexcept;

}  // namespace ostrel_pq::crypto::mlkem
