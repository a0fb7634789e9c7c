// Four independent Keccak-f[1600] states advanced together, and four-way
// SHAKE128 / SHAKE256 for the places that run many independent XOF streams
// of equal input length (matrix expansion, secret and noise sampling, mask
// generation).
//
// The four states are interleaved lane by lane: word 4 * i + k is lane i of
// state k, so one 256-bit register holds the same lane of all four states.
// The permutation runs on AVX2 when the CPU has it and otherwise on portable
// code; both give the same bits. Nothing branches on or indexes by the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ostrel_pq::crypto {

// True when the CPU supports AVX2 (checked once, then cached).
bool cpu_has_avx2() noexcept;

// The vector code is used when the CPU has it and portable code has not
// been forced. force_portable(true) makes every dispatching function in the
// ML-DSA-65, ML-KEM-768 and Keccak code take its portable path; tests and
// benchmarks use it to compare the two. Process-wide; not meant to be
// flipped while another thread is inside these functions.
void force_portable(bool on) noexcept;
bool portable_forced() noexcept;
bool use_avx2() noexcept;

// Keccak-p[1600, 24] on four interleaved states (100 words).
void keccak_f1600_x4(std::uint64_t state[100]) noexcept;
void keccak_f1600_x4_portable(std::uint64_t state[100]) noexcept;
// Requires cpu_has_avx2().
void keccak_f1600_x4_avx2(std::uint64_t state[100]) noexcept;

// Four SHAKE sponges with the same rate. absorb_once() takes four inputs of
// equal length and pads them; squeeze_blocks() then writes nblocks whole
// rate-sized blocks to each output, continuing where the previous call
// stopped. The state is wiped on destruction.
class KeccakX4 {
public:
    explicit KeccakX4(std::size_t rate_bytes) noexcept;
    ~KeccakX4();
    KeccakX4(const KeccakX4&) = delete;
    KeccakX4& operator=(const KeccakX4&) = delete;

    void absorb_once(std::span<const std::uint8_t> in0, std::span<const std::uint8_t> in1,
                     std::span<const std::uint8_t> in2, std::span<const std::uint8_t> in3) noexcept;
    void squeeze_blocks(std::uint8_t* out0, std::uint8_t* out1, std::uint8_t* out2, std::uint8_t* out3,
                        std::size_t nblocks) noexcept;
    std::size_t rate() const noexcept { return rate_; }

private:
    alignas(32) std::uint64_t state_[100];
    std::size_t rate_;
};

class Shake128x4 : public KeccakX4 {
public:
    static constexpr std::size_t kRate = 168;
    Shake128x4() noexcept : KeccakX4(kRate) {}
};
class Shake256x4 : public KeccakX4 {
public:
    static constexpr std::size_t kRate = 136;
    Shake256x4() noexcept : KeccakX4(kRate) {}
};

// RAII switch for tests and benchmarks: forces (or releases) the portable
// paths for its lifetime and restores the previous setting.
class ScopedForcePortable {
public:
    explicit ScopedForcePortable(bool on) noexcept : previous_(portable_forced()) { force_portable(on); }
    ~ScopedForcePortable() { force_portable(previous_); }
    ScopedForcePortable(const ScopedForcePortable&) = delete;
    ScopedForcePortable& operator=(const ScopedForcePortable&) = delete;

private:
    bool previous_;
};

}  // namespace ostrel_pq::crypto
