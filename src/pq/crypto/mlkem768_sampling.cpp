#include "pq/crypto/mlkem768_sampling.hpp"

#include "pq/crypto/keccak.hpp"
#include "pq/crypto/keccak_x4.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::mlkem {

static_assert(kEta1 == 2 && kEta2 == 2, "ML-KEM-768 uses eta = 2 for all noise");

// Every candidate is stored at the next free slot, which advances only when
// it was accepted. A block of 168 bytes holds whole triples, so parsing
// several blocks at once equals parsing them one by one.
std::size_t rej_uniform_portable(std::int16_t* r, std::size_t n, const std::uint8_t* block, std::size_t len) noexcept {
    for (std::size_t pos = 0; pos + 3 <= len && n < kN; pos += 3) {
        const auto d1 = static_cast<std::int16_t>(block[pos] | ((block[pos + 1] & 0x0F) << 8));
        const auto d2 = static_cast<std::int16_t>((block[pos + 1] >> 4) | (block[pos + 2] << 4));
        r[n] = d1;
        n += static_cast<std::size_t>(d1 < kQ);
        r[n] = d2;
        n += static_cast<std::size_t>(d2 < kQ) & static_cast<std::size_t>(n < kN);
    }
    return n;
}

namespace {

// Coefficients are gathered here and copied out, so the extra slots never
// touch the caller's polynomial.
struct UniformSampler {
    std::int16_t c[kN + kRejUniformSlack];
    std::size_t n = 0;
    void consume(const std::uint8_t* block, std::size_t len) noexcept {
        n = use_avx2() ? rej_uniform_avx2(c, n, block, len) : rej_uniform_portable(c, n, block, len);
    }
    void copy_to(Poly& r) const noexcept {
        for (std::size_t i = 0; i < kN; ++i) r.c[i] = c[i];
    }
};

std::array<std::uint8_t, kSymBytes + 2> xof_seed(std::span<const std::uint8_t, kSymBytes> rho, std::uint8_t j,
                                                 std::uint8_t i) noexcept {
    std::array<std::uint8_t, kSymBytes + 2> seed{};
    for (std::size_t k = 0; k < kSymBytes; ++k) seed[k] = rho[k];
    seed[kSymBytes] = j;
    seed[kSymBytes + 1] = i;
    return seed;
}

}  // namespace

void sample_ntt(Poly& r, std::span<const std::uint8_t, kSymBytes> rho, std::uint8_t j, std::uint8_t i) noexcept {
    Shake128 xof;
    xof.absorb(xof_seed(rho, j, i));
    // Squeeze whole rate-sized blocks (168 = 56 triples of bytes).
    std::array<std::uint8_t, Shake128::kRate> block{};
    UniformSampler smp;
    while (smp.n < kN) {
        xof.squeeze(block);
        smp.consume(block.data(), block.size());
    }
    smp.copy_to(r);
}

// Three blocks (336 candidates) nearly always suffice; more are drawn for
// all four streams while any needs them. The input is public.
void sample_ntt_x4(Poly* const r[4], std::span<const std::uint8_t, kSymBytes> rho, const std::uint8_t j[4],
                   const std::uint8_t i[4]) noexcept {
    std::array<std::uint8_t, kSymBytes + 2> seed[4];
    for (int k = 0; k < 4; ++k) seed[k] = xof_seed(rho, j[k], i[k]);
    Shake128x4 xof;
    xof.absorb_once(seed[0], seed[1], seed[2], seed[3]);
    constexpr std::size_t kFirstBlocks = 3;
    std::uint8_t buf[4][kFirstBlocks * Shake128x4::kRate];
    xof.squeeze_blocks(buf[0], buf[1], buf[2], buf[3], kFirstBlocks);
    UniformSampler smp[4];
    for (int k = 0; k < 4; ++k) smp[k].consume(buf[k], sizeof(buf[k]));
    while (smp[0].n < kN || smp[1].n < kN || smp[2].n < kN || smp[3].n < kN) {
        xof.squeeze_blocks(buf[0], buf[1], buf[2], buf[3], 1);
        for (int k = 0; k < 4; ++k) smp[k].consume(buf[k], Shake128x4::kRate);
    }
    for (int k = 0; k < 4; ++k) smp[k].copy_to(*r[k]);
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

namespace ostrel_pq::crypto::mlkem {

void sample_cbd_eta2_many(Poly* const r[], std::size_t count, std::span<const std::uint8_t, kSymBytes> sigma,
                          std::uint8_t first_nonce) noexcept {
    std::size_t done = 0;
    if (use_avx2() && count >= 2) {
        // PRF_2 needs 128 bytes, less than one SHAKE256 block.
        static_assert(64 * kEta1 <= Shake256x4::kRate);
        std::array<std::uint8_t, kSymBytes + 1> in[4];
        std::uint8_t prf[4][Shake256x4::kRate];
        Poly scratch;
        for (; done < count; done += 4) {
            Poly* dst[4];
            for (std::size_t k = 0; k < 4; ++k) {
                const std::size_t e = done + k < count ? done + k : count - 1;
                dst[k] = done + k < count ? r[e] : &scratch;
                for (std::size_t b = 0; b < kSymBytes; ++b) in[k][b] = sigma[b];
                in[k][kSymBytes] = static_cast<std::uint8_t>(first_nonce + e);
            }
            Shake256x4 xof;
            xof.absorb_once(in[0], in[1], in[2], in[3]);
            xof.squeeze_blocks(prf[0], prf[1], prf[2], prf[3], 1);
            for (int k = 0; k < 4; ++k) cbd_eta2(*dst[k], std::span<const std::uint8_t, 128>(prf[k], 128));
        }
        ostrel_util::secure_wipe(in, sizeof(in));
        ostrel_util::secure_wipe(prf, sizeof(prf));
        ostrel_util::secure_wipe(&scratch, sizeof(scratch));
        return;
    }
    for (; done < count; ++done) sample_cbd_eta2(*r[done], sigma, static_cast<std::uint8_t>(first_nonce + done));
}

}  // namespace ostrel_pq::crypto::mlkem
