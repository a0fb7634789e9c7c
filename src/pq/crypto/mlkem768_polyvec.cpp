#include "pq/crypto/mlkem768_polyvec.hpp"

#include "pq/crypto/mlkem768_sampling.hpp"

namespace ostrel_pq::crypto::mlkem {

void polyvec_ntt(PolyVec& r) noexcept {
    for (auto& p : r.v) poly_ntt(p);
}

void polyvec_inverse_ntt_to_plain(PolyVec& r) noexcept {
    for (auto& p : r.v) poly_inverse_ntt_to_plain(p);
}

void polyvec_reduce(PolyVec& r) noexcept {
    for (auto& p : r.v) poly_reduce(p);
}

void polyvec_add(PolyVec& r, const PolyVec& a, const PolyVec& b) noexcept {
    for (std::size_t i = 0; i < kK; ++i) poly_add(r.v[i], a.v[i], b.v[i]);
}

void polyvec_inner_product_montgomery(Poly& r, const PolyVec& a, const PolyVec& b) noexcept {
    static_assert(kK <= 4, "accumulating more than 4 base-case products overflows int16_t");
    r = Poly{};
    for (std::size_t i = 0; i < kK; ++i) basemul_montgomery_accumulate(r.c, a.v[i].c, b.v[i].c);
    poly_reduce(r);
}

void polyvec_to_bytes(std::span<std::uint8_t, kPolyVecBytes> out, const PolyVec& a) noexcept {
    for (std::size_t i = 0; i < kK; ++i) poly_to_bytes(out.subspan(i * kPolyBytes).first<kPolyBytes>(), a.v[i]);
}

void polyvec_from_bytes(PolyVec& r, std::span<const std::uint8_t, kPolyVecBytes> in) noexcept {
    for (std::size_t i = 0; i < kK; ++i) poly_from_bytes(r.v[i], in.subspan(i * kPolyBytes).first<kPolyBytes>());
}

bool polyvec_bytes_are_reduced(std::span<const std::uint8_t, kPolyVecBytes> in) noexcept {
    bool ok = true;
    for (std::size_t i = 0; i < kK; ++i) {
        ok = poly_bytes_are_reduced(in.subspan(i * kPolyBytes).first<kPolyBytes>()) && ok;
    }
    return ok;
}

void polyvec_compress(std::span<std::uint8_t, kPolyVecCompressedBytes> out, const PolyVec& a) noexcept {
    for (std::size_t i = 0; i < kK; ++i) {
        poly_compress(out.subspan(i * kPolyCompressedDuBytes, kPolyCompressedDuBytes), a.v[i], kDu);
    }
}

void polyvec_decompress(PolyVec& r, std::span<const std::uint8_t, kPolyVecCompressedBytes> in) noexcept {
    for (std::size_t i = 0; i < kK; ++i) {
        poly_decompress(r.v[i], in.subspan(i * kPolyCompressedDuBytes, kPolyCompressedDuBytes), kDu);
    }
}

void generate_matrix(PolyMatrix& a, std::span<const std::uint8_t, kSymBytes> rho, bool transposed) noexcept {
    for (std::size_t i = 0; i < kK; ++i) {
        for (std::size_t j = 0; j < kK; ++j) {
            const auto bi = static_cast<std::uint8_t>(i);
            const auto bj = static_cast<std::uint8_t>(j);
            // A[i][j] absorbs rho || j || i; its transpose entry [i][j] is A[j][i].
            if (transposed) {
                sample_ntt(a.rows[i].v[j], rho, bi, bj);
            } else {
                sample_ntt(a.rows[i].v[j], rho, bj, bi);
            }
        }
    }
}

}  // namespace ostrel_pq::crypto::mlkem
