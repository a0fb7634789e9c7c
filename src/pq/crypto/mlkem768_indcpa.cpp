#include "pq/crypto/mlkem768_indcpa.hpp"

#include <array>

#include "pq/crypto/keccak.hpp"
#include "pq/crypto/mlkem768_polyvec.hpp"
#include "pq/crypto/mlkem768_sampling.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::mlkem {

using ostrel_util::WipeOnExit;

void indcpa_keygen(std::span<std::uint8_t, kEkBytes> ek, std::span<std::uint8_t, kDkPkeBytes> dk,
                   std::span<const std::uint8_t, kSymBytes> d) noexcept {
    // Line 1: (rho, sigma) = G(d || k), with k as one byte for domain separation.
    std::array<std::uint8_t, kSymBytes + 1> g_in{};
    std::array<std::uint8_t, 2 * kSymBytes> rho_sigma{};
    WipeOnExit wipe_g_in(g_in);
    WipeOnExit wipe_rho_sigma(rho_sigma);
    for (std::size_t i = 0; i < kSymBytes; ++i) g_in[i] = d[i];
    g_in[kSymBytes] = static_cast<std::uint8_t>(kK);
    sha3_512(g_in, rho_sigma);
    const std::span<const std::uint8_t, kSymBytes> rho(rho_sigma.data(), kSymBytes);
    const std::span<const std::uint8_t, kSymBytes> sigma(rho_sigma.data() + kSymBytes, kSymBytes);

    // Lines 3-7: A-hat from rho.
    PolyMatrix a;
    generate_matrix(a, rho, false);

    // Lines 8-15: s and e from CBD_eta1(PRF(sigma, N)), N = 0 .. 2k-1.
    PolyVec s;
    PolyVec e;
    WipeOnExit wipe_s(s);
    WipeOnExit wipe_e(e);
    {
        Poly* const noise[2 * kK] = {&s.v[0], &s.v[1], &s.v[2], &e.v[0], &e.v[1], &e.v[2]};
        sample_cbd_eta2_many(noise, 2 * kK, sigma, 0);
    }

    // Lines 16-18: s-hat = NTT(s), e-hat = NTT(e), t-hat = A-hat o s-hat + e-hat.
    polyvec_ntt(s);
    polyvec_ntt(e);
    PolyVec t;
    WipeOnExit wipe_t(t);
    for (std::size_t i = 0; i < kK; ++i) {
        polyvec_inner_product_montgomery(t.v[i], a.rows[i], s);
        poly_to_mont(t.v[i]);  // cancels the R^-1 of the Montgomery products
    }
    polyvec_add(t, t, e);
    polyvec_reduce(t);

    // Lines 19-20: ek_PKE = ByteEncode_12(t-hat) || rho, dk_PKE = ByteEncode_12(s-hat).
    polyvec_to_bytes(ek.first<kPolyVecBytes>(), t);
    for (std::size_t i = 0; i < kSymBytes; ++i) ek[kPolyVecBytes + i] = rho[i];
    polyvec_to_bytes(dk, s);
}

void indcpa_encrypt(std::span<std::uint8_t, kCiphertextBytes> c, std::span<const std::uint8_t, kEkBytes> ek,
                    std::span<const std::uint8_t, kSymBytes> m, std::span<const std::uint8_t, kSymBytes> r) noexcept {
    // Lines 2-3: t-hat = ByteDecode_12(ek[0 : 384k]), rho = ek[384k :].
    PolyVec t;
    polyvec_from_bytes(t, ek.first<kPolyVecBytes>());
    const std::span<const std::uint8_t, kSymBytes> rho = ek.subspan<kPolyVecBytes, kSymBytes>();

    // Lines 4-8: A-hat^T, so that row i of it dotted with y-hat is (A-hat^T o y-hat)[i].
    PolyMatrix at;
    generate_matrix(at, rho, true);

    // Lines 9-17: y, e1 from CBD_eta1 / CBD_eta2 of PRF(r, N), then e2.
    PolyVec y;
    PolyVec e1;
    Poly e2;
    WipeOnExit wipe_y(y);
    WipeOnExit wipe_e1(e1);
    WipeOnExit wipe_e2(e2);
    {
        Poly* const noise[2 * kK + 1] = {&y.v[0], &y.v[1], &y.v[2], &e1.v[0], &e1.v[1], &e1.v[2], &e2};
        sample_cbd_eta2_many(noise, 2 * kK + 1, r, 0);
    }

    // Lines 18-19: y-hat = NTT(y); u = NTT^-1(A-hat^T o y-hat) + e1.
    polyvec_ntt(y);
    PolyVec u;
    WipeOnExit wipe_u(u);
    for (std::size_t i = 0; i < kK; ++i) polyvec_inner_product_montgomery(u.v[i], at.rows[i], y);
    polyvec_inverse_ntt_to_plain(u);
    polyvec_add(u, u, e1);

    // Lines 20-21: mu = Decompress_1(ByteDecode_1(m)); v = NTT^-1(t-hat^T o y-hat) + e2 + mu.
    Poly mu;
    Poly v;
    WipeOnExit wipe_mu(mu);
    WipeOnExit wipe_v(v);
    poly_from_message(mu, m);
    polyvec_inner_product_montgomery(v, t, y);
    poly_inverse_ntt_to_plain(v);
    poly_add(v, v, e2);
    poly_add(v, v, mu);

    // Lines 22-23: c1 = ByteEncode_du(Compress_du(u)), c2 = ByteEncode_dv(Compress_dv(v)).
    polyvec_compress(c.first<kPolyVecCompressedBytes>(), u);
    poly_compress(c.subspan<kPolyVecCompressedBytes, kPolyCompressedDvBytes>(), v, kDv);
}

void indcpa_decrypt(std::span<std::uint8_t, kSymBytes> m, std::span<const std::uint8_t, kDkPkeBytes> dk,
                    std::span<const std::uint8_t, kCiphertextBytes> c) noexcept {
    // Lines 1-4: u' = Decompress_du(ByteDecode_du(c1)), v' = Decompress_dv(ByteDecode_dv(c2)).
    PolyVec u;
    Poly v;
    WipeOnExit wipe_u(u);
    WipeOnExit wipe_v(v);
    polyvec_decompress(u, c.first<kPolyVecCompressedBytes>());
    poly_decompress(v, c.subspan<kPolyVecCompressedBytes, kPolyCompressedDvBytes>(), kDv);

    // Line 5: s-hat = ByteDecode_12(dk_PKE).
    PolyVec s;
    WipeOnExit wipe_s(s);
    polyvec_from_bytes(s, dk);

    // Line 6: w = v' - NTT^-1(s-hat^T o NTT(u')).
    polyvec_ntt(u);
    Poly w;
    WipeOnExit wipe_w(w);
    polyvec_inner_product_montgomery(w, s, u);
    poly_inverse_ntt_to_plain(w);
    poly_sub(w, v, w);

    // Line 7: m = ByteEncode_1(Compress_1(w)).
    poly_to_message(m, w);
}

}  // namespace ostrel_pq::crypto::mlkem
