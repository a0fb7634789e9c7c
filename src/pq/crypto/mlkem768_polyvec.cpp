#include "pq/crypto/mlkem768_polyvec.hpp"

#include "pq/crypto/keccak_x4.hpp"
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
    // A[i][j] absorbs rho || j || i; its transpose entry [i][j] is A[j][i].
    const auto seed_bytes = [transposed](std::size_t i, std::size_t j, std::uint8_t& first, std::uint8_t& second) {
        first = static_cast<std::uint8_t>(transposed ? i : j);
        second = static_cast<std::uint8_t>(transposed ? j : i);
    };
    if (!use_avx2()) {
        for (std::size_t i = 0; i < kK; ++i) {
            for (std::size_t j = 0; j < kK; ++j) {
                std::uint8_t first;
                std::uint8_t second;
                seed_bytes(i, j, first, second);
                sample_ntt(a.rows[i].v[j], rho, first, second);
            }
        }
        return;
    }
    // Nine entries, four streams at a time; the last batch repeats the
    // final entry into scratch.
    constexpr std::size_t kEntries = kK * kK;
    Poly scratch;
    for (std::size_t t = 0; t < kEntries; t += 4) {
        Poly* dst[4];
        std::uint8_t first[4];
        std::uint8_t second[4];
        for (std::size_t k = 0; k < 4; ++k) {
            const std::size_t e = t + k < kEntries ? t + k : kEntries - 1;
            dst[k] = t + k < kEntries ? &a.rows[e / kK].v[e % kK] : &scratch;
            seed_bytes(e / kK, e % kK, first[k], second[k]);
        }
        sample_ntt_x4(dst, rho, first, second);
    }
}

}  // namespace ostrel_pq::crypto::mlkem
