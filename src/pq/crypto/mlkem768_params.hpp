// ML-KEM-768 parameter set (FIPS 203 section 8, Table 2) and the byte sizes
// derived from it. Internal to the ML-KEM implementation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel_pq::crypto::mlkem {

inline constexpr std::size_t kN = 256;        // coefficients per polynomial
inline constexpr std::int16_t kQ = 3329;      // the prime modulus q = 2^8 * 13 + 1
inline constexpr std::size_t kK = 3;          // module rank k
inline constexpr unsigned kEta1 = 2;          // CBD parameter for s, e, y
inline constexpr unsigned kEta2 = 2;          // CBD parameter for e1, e2
inline constexpr unsigned kDu = 10;           // bits per coefficient of u in the ciphertext
inline constexpr unsigned kDv = 4;            // bits per coefficient of v in the ciphertext

inline constexpr std::size_t kSymBytes = 32;  // seeds d, z, m, rho, sigma, r, hashes, K

inline constexpr std::size_t kPolyBytes = 384;                            // ByteEncode_12
inline constexpr std::size_t kPolyVecBytes = kK * kPolyBytes;             // 1152
inline constexpr std::size_t kPolyCompressedDuBytes = 32 * kDu;           // 320
inline constexpr std::size_t kPolyCompressedDvBytes = 32 * kDv;           // 128
inline constexpr std::size_t kPolyVecCompressedBytes = kK * kPolyCompressedDuBytes;  // 960

inline constexpr std::size_t kEkBytes = kPolyVecBytes + kSymBytes;        // 1184 (384k + 32)
inline constexpr std::size_t kDkPkeBytes = kPolyVecBytes;                 // 1152 (384k)
inline constexpr std::size_t kDkBytes = kDkPkeBytes + kEkBytes + 2 * kSymBytes;  // 2400 (768k + 96)
inline constexpr std::size_t kCiphertextBytes = kPolyVecCompressedBytes + kPolyCompressedDvBytes;  // 1088
inline constexpr std::size_t kSharedSecretBytes = 32;

// Byte offsets of the parts of dk = dk_PKE || ek || H(ek) || z (FIPS 203 Algorithm 16).
inline constexpr std::size_t kDkOffsetEk = kDkPkeBytes;
inline constexpr std::size_t kDkOffsetHash = kDkOffsetEk + kEkBytes;
inline constexpr std::size_t kDkOffsetZ = kDkOffsetHash + kSymBytes;

static_assert(kEkBytes == 1184 && kDkBytes == 2400 && kCiphertextBytes == 1088);

}  // namespace ostrel_pq::crypto::mlkem
