// Four-way Keccak: run-time selection, the portable permutation and the
// four-way SHAKE sponge (see keccak_x4.hpp).
#include "pq/crypto/keccak_x4.hpp"

#include <atomic>
#include <cassert>

#include "pq/crypto/keccak.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto {

namespace {

std::atomic<bool> g_force_portable{false};

bool detect_avx2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

}  // namespace

bool cpu_has_avx2() noexcept {
    static const bool has = detect_avx2();
    return has;
}

void force_portable(bool on) noexcept { g_force_portable.store(on, std::memory_order_relaxed); }
bool portable_forced() noexcept { return g_force_portable.load(std::memory_order_relaxed); }
bool use_avx2() noexcept { return cpu_has_avx2() && !portable_forced(); }

// Each state is gathered out of the interleaved layout, permuted with the
// one-way code and scattered back; the scratch copy is wiped.
void keccak_f1600_x4_portable(std::uint64_t s[100]) noexcept {
    std::uint64_t one[25];
    for (int k = 0; k < 4; ++k) {
        for (int i = 0; i < 25; ++i) one[i] = s[4 * i + k];
        keccak_f1600(one);
        for (int i = 0; i < 25; ++i) s[4 * i + k] = one[i];
    }
    ostrel_util::secure_wipe(one, sizeof(one));
}

void keccak_f1600_x4(std::uint64_t s[100]) noexcept {
    if (use_avx2()) {
        keccak_f1600_x4_avx2(s);
    } else {
        keccak_f1600_x4_portable(s);
    }
}

KeccakX4::KeccakX4(std::size_t rate_bytes) noexcept : state_{}, rate_(rate_bytes) {
    assert(rate_bytes > 0 && rate_bytes < 200 && rate_bytes % 8 == 0);
}

KeccakX4::~KeccakX4() { ostrel_util::secure_wipe(state_, sizeof(state_)); }

// Whole blocks are absorbed and permuted; the tail is followed by the SHAKE
// suffix 0x1F (which carries the first padding bit) and the final padding
// bit at the end of the block. The permutation that closes the padded block
// runs at the start of the first squeeze.
void KeccakX4::absorb_once(std::span<const std::uint8_t> in0, std::span<const std::uint8_t> in1,
                           std::span<const std::uint8_t> in2, std::span<const std::uint8_t> in3) noexcept {
    assert(in0.size() == in1.size() && in0.size() == in2.size() && in0.size() == in3.size());
    for (auto& w : state_) w = 0;
    const std::uint8_t* in[4] = {in0.data(), in1.data(), in2.data(), in3.data()};
    std::size_t n = in0.size();
    std::size_t off = 0;
    while (n >= rate_) {
        for (int k = 0; k < 4; ++k) {
            for (std::size_t b = 0; b < rate_; ++b) {
                state_[4 * (b / 8) + k] ^= static_cast<std::uint64_t>(in[k][off + b]) << (8 * (b % 8));
            }
        }
        keccak_f1600_x4(state_);
        off += rate_;
        n -= rate_;
    }
    for (int k = 0; k < 4; ++k) {
        for (std::size_t b = 0; b < n; ++b) {
            state_[4 * (b / 8) + k] ^= static_cast<std::uint64_t>(in[k][off + b]) << (8 * (b % 8));
        }
        state_[4 * (n / 8) + k] ^= 0x1FULL << (8 * (n % 8));
        state_[4 * ((rate_ - 1) / 8) + k] ^= 0x80ULL << (8 * ((rate_ - 1) % 8));
    }
}

void KeccakX4::squeeze_blocks(std::uint8_t* out0, std::uint8_t* out1, std::uint8_t* out2, std::uint8_t* out3,
                              std::size_t nblocks) noexcept {
    std::uint8_t* out[4] = {out0, out1, out2, out3};
    for (std::size_t blk = 0; blk < nblocks; ++blk) {
        keccak_f1600_x4(state_);
        for (int k = 0; k < 4; ++k) {
            std::uint8_t* p = out[k] + blk * rate_;
            for (std::size_t i = 0; i < rate_ / 8; ++i) {
                const std::uint64_t v = state_[4 * i + k];
                for (int b = 0; b < 8; ++b) p[8 * i + b] = static_cast<std::uint8_t>(v >> (8 * b));
            }
        }
    }
}

}  // namespace ostrel_pq::crypto
