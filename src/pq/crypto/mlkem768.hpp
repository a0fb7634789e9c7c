// ML-KEM-768, the module-lattice key-encapsulation mechanism of FIPS 203 at
// security category 3.
//
// Sizes: encapsulation key 1184 bytes, decapsulation key 2400 bytes (the
// expanded form dk_PKE || ek || H(ek) || z), ciphertext 1088 bytes, shared
// secret 32 bytes, key-generation seed d || z 64 bytes.
//
// Promises:
// - Constant-time with respect to secret data (d, z, m, the decapsulation key,
//   the recovered message and the shared secret): no secret-dependent branch
//   or memory index. Decapsulation compares and selects in constant time.
// - Every secret intermediate is wiped before its memory is released; secret
//   outputs are returned in self-wiping ostrel_util::SecretBytes.
// - Inputs are validated as FIPS 203 section 7 requires before use, and a
//   failed check is an error value, never a crash or a silent repair.
// - Thread-safe: no shared mutable state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "pq/crypto/crypto_error.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::mlkem768 {

inline constexpr std::size_t kSeedPartBytes = 32;             // d, z or m
inline constexpr std::size_t kKeygenSeedBytes = 64;           // d || z
inline constexpr std::size_t kEncapsulationKeyBytes = 1184;
inline constexpr std::size_t kDecapsulationKeyBytes = 2400;
inline constexpr std::size_t kCiphertextBytes = 1088;
inline constexpr std::size_t kSharedSecretBytes = 32;

struct KeyPair {
    std::vector<std::uint8_t> encapsulation_key;     // 1184 bytes
    ostrel_util::SecretBytes decapsulation_key;      // 2400 bytes
};

struct Encapsulation {
    std::vector<std::uint8_t> ciphertext;            // 1088 bytes
    ostrel_util::SecretBytes shared_secret;          // 32 bytes
};

// FIPS 203 Algorithm 16 (ML-KEM.KeyGen_internal): the deterministic key pair
// of the seeds d and z.
KeyPair keygen_internal(std::span<const std::uint8_t, 32> d, std::span<const std::uint8_t, 32> z);

// Algorithm 16 from the 64-byte seed d || z, the form in which key pairs are
// stored. InvalidLength if `seed` is not 64 bytes.
std::expected<KeyPair, CryptoError> keygen_from_seed(std::span<const std::uint8_t> seed);

// FIPS 203 Algorithm 19 (ML-KEM.KeyGen): d and z drawn from the operating
// system. RandomSource error if the random source fails.
std::expected<KeyPair, CryptoError> keygen();

// The encapsulation-key check of FIPS 203 section 7.2: the key is 1184 bytes
// (InvalidLength otherwise) and every encoded coefficient of t-hat is below
// q = 3329, i.e. ByteEncode_12(ByteDecode_12(t-hat bytes)) is unchanged
// (InvalidKey otherwise).
std::expected<void, CryptoError> check_encapsulation_key(std::span<const std::uint8_t> ek);

// The decapsulation-key checks of FIPS 203 section 7.3: the key is 2400
// bytes (InvalidLength) and the stored H(ek) equals SHA3-256 of the embedded
// ek (InvalidKey).
std::expected<void, CryptoError> check_decapsulation_key(std::span<const std::uint8_t> dk);

// FIPS 203 Algorithm 17 (ML-KEM.Encaps_internal) with the caller's 32-byte
// randomness m, after check_encapsulation_key (whose error it returns).
std::expected<Encapsulation, CryptoError> encaps_internal(std::span<const std::uint8_t> ek,
                                                          std::span<const std::uint8_t, 32> m);

// FIPS 203 Algorithm 20 (ML-KEM.Encaps): m drawn from the operating system,
// then as encaps_internal. Errors: those of check_encapsulation_key, or
// RandomSource.
std::expected<Encapsulation, CryptoError> encaps(std::span<const std::uint8_t> ek);

// FIPS 203 Algorithm 21 (ML-KEM.Decaps) with Algorithm 18 inside: checks the
// ciphertext length (1088 bytes, InvalidLength) and the decapsulation key
// (check_decapsulation_key), then decapsulates with implicit rejection: a
// ciphertext that does not re-encrypt to itself yields J(z || c) =
// SHAKE256(z || c, 32) instead of an error, selected in constant time.
std::expected<ostrel_util::SecretBytes, CryptoError> decaps(std::span<const std::uint8_t> dk,
                                                            std::span<const std::uint8_t> c);

// Decapsulation from the 64-byte seed d || z: the seed length is checked
// first, then the ciphertext length (InvalidLength for either, before any
// expansion); the key is rebuilt with keygen_internal and used as by decaps.
// The expanded key is wiped.
std::expected<ostrel_util::SecretBytes, CryptoError> decaps_from_seed(std::span<const std::uint8_t> seed,
                                                                      std::span<const std::uint8_t> c);

}  // namespace ostrel_pq::crypto::mlkem768
