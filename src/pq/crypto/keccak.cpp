// Keccak-f[1600] and the sponge construction of FIPS 202.
//
// Lanes are stored as 64-bit words; byte i of the state is byte (i % 8) of
// lane i / 8 in little-endian order (FIPS 202 section 3.1.2 with the bit
// ordering of Appendix B.1). Nothing here branches on or indexes by the data
// absorbed; branches depend only on lengths and positions, which are public.
#include "pq/crypto/keccak.hpp"

#include <cassert>

#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto {

namespace {

constexpr std::uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808AULL, 0x8000000080008000ULL,
    0x000000000000808BULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008AULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000AULL,
    0x000000008000808BULL, 0x800000000000008BULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800AULL, 0x800000008000000AULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

constexpr std::uint64_t rotl(std::uint64_t x, unsigned n) noexcept {
    return n == 0 ? x : (x << n) | (x >> (64 - n));
}

// Rotation offsets r[x][y] of step rho (FIPS 202 section 3.2.2), indexed by
// lane number x + 5y.
constexpr unsigned kRho[25] = {
    0,  1,  62, 28, 27,  //
    36, 44, 6,  55, 20,  //
    3,  10, 43, 25, 39,  //
    41, 45, 15, 21, 8,   //
    18, 2,  61, 56, 14,
};

inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

inline void store_le64(std::uint8_t* p, std::uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

// Destination lane of step pi for each source lane: B[y, 2x + 3y] = A[x, y]
// (FIPS 202 section 3.2.3), as lane numbers x + 5y.
constexpr int pi_destination(int src) { return (src / 5) + 5 * ((2 * (src % 5) + 3 * (src / 5)) % 5); }

// FIPS 202 Algorithm 7 (Keccak-p[1600, 24]): 24 rounds of
// theta, rho, pi, chi, iota. The loops over lanes are unrolled so every lane
// index is a constant and the state can live in registers.
void keccak_f1600(std::uint64_t a[25]) noexcept {
    for (int round = 0; round < 24; ++round) {
        // theta (Algorithm 1)
        std::uint64_t c[5];
#pragma GCC unroll 5
        for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma GCC unroll 5
        for (int x = 0; x < 5; ++x) {
            const std::uint64_t d = c[(x + 4) % 5] ^ rotl(c[(x + 1) % 5], 1);
#pragma GCC unroll 5
            for (int y = 0; y < 25; y += 5) a[y + x] ^= d;
        }
        // rho and pi (Algorithms 2 and 3)
        std::uint64_t b[25];
#pragma GCC unroll 25
        for (int src = 0; src < 25; ++src) b[pi_destination(src)] = rotl(a[src], kRho[src]);
        // chi (Algorithm 4)
#pragma GCC unroll 5
        for (int y = 0; y < 25; y += 5) {
#pragma GCC unroll 5
            for (int x = 0; x < 5; ++x) a[y + x] = b[y + x] ^ (~b[y + (x + 1) % 5] & b[y + (x + 2) % 5]);
        }
        // iota (Algorithm 6)
        a[0] ^= kRoundConstants[round];
    }
}

KeccakSponge::KeccakSponge(std::size_t rate_bytes, std::uint8_t suffix) noexcept
    : state_{}, rate_(rate_bytes), pos_(0), suffix_(suffix), squeezing_(false) {
    assert(rate_bytes > 0 && rate_bytes < 200 && rate_bytes % 8 == 0);
}

KeccakSponge::~KeccakSponge() { ostrel_util::secure_wipe(state_, sizeof(state_)); }

void KeccakSponge::reset() noexcept {
    ostrel_util::secure_wipe(state_, sizeof(state_));
    pos_ = 0;
    squeezing_ = false;
}

void KeccakSponge::absorb(std::span<const std::uint8_t> data) noexcept {
    assert(!squeezing_ && "absorb after squeeze");
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    // Bytes up to the next lane boundary.
    while (n > 0 && pos_ % 8 != 0) {
        state_[pos_ / 8] ^= static_cast<std::uint64_t>(*p++) << (8 * (pos_ % 8));
        --n;
        if (++pos_ == rate_) {
            keccak_f1600(state_);
            pos_ = 0;
        }
    }
    // Whole lanes.
    while (n >= 8) {
        state_[pos_ / 8] ^= load_le64(p);
        p += 8;
        n -= 8;
        pos_ += 8;
        if (pos_ == rate_) {
            keccak_f1600(state_);
            pos_ = 0;
        }
    }
    // Tail (fewer than 8 bytes, starts on a lane boundary, so no block ends here).
    while (n > 0) {
        state_[pos_ / 8] ^= static_cast<std::uint64_t>(*p++) << (8 * (pos_ % 8));
        --n;
        ++pos_;
    }
}

// Pads with the domain suffix and pad10*1 (FIPS 202 sections 5.1 and 6):
// the suffix bits, then a 1 bit, zeros, and a final 1 bit at the end of the
// block. The suffix byte already carries the first padding 1 bit (0x06 is
// "01" then "1"; 0x1F is "1111" then "1").
void KeccakSponge::finalize() noexcept {
    state_[pos_ / 8] ^= static_cast<std::uint64_t>(suffix_) << (8 * (pos_ % 8));
    state_[(rate_ - 1) / 8] ^= 0x80ULL << (8 * ((rate_ - 1) % 8));
    keccak_f1600(state_);
    pos_ = 0;
    squeezing_ = true;
}

void KeccakSponge::squeeze(std::span<std::uint8_t> out) noexcept {
    if (!squeezing_) finalize();
    std::uint8_t* p = out.data();
    std::size_t n = out.size();
    while (n > 0) {
        if (pos_ == rate_) {
            keccak_f1600(state_);
            pos_ = 0;
        }
        if (pos_ % 8 == 0 && n >= 8) {
            // Whole lanes as far as the block and the output allow.
            while (n >= 8 && pos_ < rate_) {
                store_le64(p, state_[pos_ / 8]);
                p += 8;
                n -= 8;
                pos_ += 8;
            }
        } else {
            *p++ = static_cast<std::uint8_t>(state_[pos_ / 8] >> (8 * (pos_ % 8)));
            --n;
            ++pos_;
        }
    }
}

void sha3_256(std::span<const std::uint8_t> in, std::span<std::uint8_t, 32> out) noexcept {
    Sha3_256Hasher h;
    h.absorb(in);
    h.squeeze(out);
}

void sha3_512(std::span<const std::uint8_t> in, std::span<std::uint8_t, 64> out) noexcept {
    Sha3_512Hasher h;
    h.absorb(in);
    h.squeeze(out);
}

void shake128(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept {
    Shake128 h;
    h.absorb(in);
    h.squeeze(out);
}

void shake256(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept {
    Shake256 h;
    h.absorb(in);
    h.squeeze(out);
}

}  // namespace ostrel_pq::crypto
