// Vectors of k = 3 polynomials and k x k matrices for ML-KEM-768, with the
// vector forms of the encodings (ByteEncode_12, Compress_du) used by K-PKE.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "pq/crypto/mlkem768_poly.hpp"

namespace ostrel_pq::crypto::mlkem {

struct PolyVec {
    std::array<Poly, kK> v{};
};

struct PolyMatrix {
    std::array<PolyVec, kK> rows{};
};

void polyvec_ntt(PolyVec& r) noexcept;
void polyvec_inverse_ntt_to_plain(PolyVec& r) noexcept;
void polyvec_reduce(PolyVec& r) noexcept;
void polyvec_add(PolyVec& r, const PolyVec& a, const PolyVec& b) noexcept;

// sum_j a[j] o b[j] times R^-1, Barrett-reduced (|r| <= q/2). Inputs |.| < q.
void polyvec_inner_product_montgomery(Poly& r, const PolyVec& a, const PolyVec& b) noexcept;

// ByteEncode_12 / ByteDecode_12 of each entry, concatenated (384k bytes).
void polyvec_to_bytes(std::span<std::uint8_t, kPolyVecBytes> out, const PolyVec& a) noexcept;
void polyvec_from_bytes(PolyVec& r, std::span<const std::uint8_t, kPolyVecBytes> in) noexcept;
// The modulus check of FIPS 203 section 7.2 on a 384k-byte encoding.
bool polyvec_bytes_are_reduced(std::span<const std::uint8_t, kPolyVecBytes> in) noexcept;

// ByteEncode_du(Compress_du(.)) of each entry (32 du k bytes) and its inverse.
void polyvec_compress(std::span<std::uint8_t, kPolyVecCompressedBytes> out, const PolyVec& a) noexcept;
void polyvec_decompress(PolyVec& r, std::span<const std::uint8_t, kPolyVecCompressedBytes> in) noexcept;

// A-hat (FIPS 203 Algorithm 13 lines 3-7): A[i][j] = SampleNTT(rho || j || i).
// With transposed = true the result is A-hat^T, as Algorithm 14 uses it.
void generate_matrix(PolyMatrix& a, std::span<const std::uint8_t, kSymBytes> rho, bool transposed) noexcept;

}  // namespace ostrel_pq::crypto::mlkem
