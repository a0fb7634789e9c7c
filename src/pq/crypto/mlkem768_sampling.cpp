#include "pq/crypto/mlkem768_sampling.hpp"

#include "pq/crypto/keccak.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::mlkem {

static_assert(kEta1 == 2 && kEta2 == 2, "ML-KEM-768 uses eta = 2 for all noise");

void sample_ntt(Poly& r, std::span<const std::uint8_t, kSymBytes> rho, std::uint8_t j, std::uint8_t i) noexcept {
    Shake128 xof;
    std::array<std::uint8_t, kSymBytes + 2> seed{};
    for (std::size_t k = 0; k < kSymBytes; ++k) seed[k] = rho[k];
    seed[kSymBytes] = j;
    seed[kSymBytes + 1] = i;
    xof.absorb(seed);

    // Squeeze whole rate-sized blocks (168 = 56 triples of bytes).
    std::array<std::uint8_t, Shake128::kRate> block{};
    std::size_t n = 0;
    while (n < kN) {
        xof.squeeze(block);
        for (std::size_t pos = 0; pos + 3 <= block.size() && n < kN; pos += 3) {
            const std::uint16_t d1 = static_cast<std::uint16_t>(block[pos] | ((block[pos + 1] & 0x0F) << 8));
            const std::uint16_t d2 = static_cast<std::uint16_t>((block[pos + 1] >> 4) | (block[pos + 2] << 4));
            if (d1 < kQ) r.c[n++] = static_cast<std::int16_t>(d1);
            if (d2 < kQ && n < kN) r.c[n++] = static_cast<std::int16_t>(d2);
        }
    }
}

void cbd_eta2(Poly& r, std::span<const std::uint8_t, 128> bytes) noexcept {
    // Each coefficient consumes 4 bits b0..b3 and is (b0 + b1) - (b2 + b3).
    // Summing adjacent bit pairs of a 32-bit word at once gives eight
    // coefficients per word.
    for (std::size_t w = 0; w < 32; ++w) {
        const std::uint32_t t = static_cast<std::uint32_t>(bytes[4 * w]) |
                                (static_cast<std::uint32_t>(bytes[4 * w + 1]) << 8) |
                                (static_cast<std::uint32_t>(bytes[4 * w + 2]) << 16) |
                                (static_cast<std::uint32_t>(bytes[4 * w + 3]) << 24);
        const std::uint32_t pair_sums = (t & 0x55555555u) + ((t >> 1) & 0x55555555u);
        for (unsigned k = 0; k < 8; ++k) {
            const auto x = static_cast<std::int16_t>((pair_sums >> (4 * k)) & 0x3u);
            const auto y = static_cast<std::int16_t>((pair_sums >> (4 * k + 2)) & 0x3u);
            r.c[8 * w + k] = static_cast<std::int16_t>(x - y);
        }
    }
}

void sample_cbd_eta2(Poly& r, std::span<const std::uint8_t, kSymBytes> sigma, std::uint8_t nonce) noexcept {
    // PRF_eta(s, b) = SHAKE256(s || b, 64 * eta) (FIPS 203 equation 4.3).
    std::array<std::uint8_t, kSymBytes + 1> input{};
    std::array<std::uint8_t, 64 * kEta1> prf{};
    ostrel_util::WipeOnExit wipe_input(input);
    ostrel_util::WipeOnExit wipe_prf(prf);
    for (std::size_t k = 0; k < kSymBytes; ++k) input[k] = sigma[k];
    input[kSymBytes] = nonce;
    shake256(input, prf);
    cbd_eta2(r, prf);
}

}  // namespace ostrel_pq::crypto::mlkem
