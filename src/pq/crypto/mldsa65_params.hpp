// ML-DSA-65 parameter set (FIPS 204 section 4, Table 1) and the sizes of its
// encodings (Table 2). Internal to the ML-DSA-65 implementation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel_pq::crypto::mldsa65 {

inline constexpr int kN = 256;                  // polynomial degree
inline constexpr std::int32_t kQ = 8380417;     // modulus 2^23 - 2^13 + 1
inline constexpr int kD = 13;                   // dropped bits of t
inline constexpr int kTau = 49;                 // nonzero coefficients of c
inline constexpr int kLambda = 192;             // collision strength of c~
inline constexpr std::int32_t kGamma1 = 1 << 19;
inline constexpr std::int32_t kGamma2 = (kQ - 1) / 32;
inline constexpr int kK = 6;                    // rows of A
inline constexpr int kL = 5;                    // columns of A
inline constexpr std::int32_t kEta = 4;
inline constexpr std::int32_t kBeta = kTau * kEta;  // 196
inline constexpr int kOmega = 55;               // maximum number of hint ones

inline constexpr std::size_t kSeedBytes = 32;       // xi, rho, K, rnd
inline constexpr std::size_t kRhoPrimeBytes = 64;   // rho', rho''
inline constexpr std::size_t kTrBytes = 64;
inline constexpr std::size_t kMuBytes = 64;
inline constexpr std::size_t kCTildeBytes = kLambda / 4;  // 48

// Packed polynomial sizes: 256 coefficients of b bits take 32 b bytes.
inline constexpr std::size_t kPolyT1Bytes = 32 * 10;    // t1, 10 bits
inline constexpr std::size_t kPolyT0Bytes = 32 * 13;    // t0, 13 bits
inline constexpr std::size_t kPolyEtaBytes = 32 * 4;    // s1, s2 with eta = 4, 4 bits
inline constexpr std::size_t kPolyZBytes = 32 * 20;     // z, 20 bits
inline constexpr std::size_t kPolyW1Bytes = 32 * 4;     // w1 in [0, 15], 4 bits

inline constexpr std::size_t kPublicKeyBytes = kSeedBytes + kK * kPolyT1Bytes;  // 1952
inline constexpr std::size_t kSecretKeyBytes =
    2 * kSeedBytes + kTrBytes + (kL + kK) * kPolyEtaBytes + kK * kPolyT0Bytes;  // 4032
inline constexpr std::size_t kSignatureBytes =
    kCTildeBytes + kL * kPolyZBytes + kOmega + kK;  // 3309

static_assert(kPublicKeyBytes == 1952);
static_assert(kSecretKeyBytes == 4032);
static_assert(kSignatureBytes == 3309);

}  // namespace ostrel_pq::crypto::mldsa65
