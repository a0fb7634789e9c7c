// Keccak-f[1600] and the SHA-3 family (FIPS 202).
//
// Interface agreed for ML-KEM-768 and ML-DSA-65. All functions are
// constant-time with respect to the data absorbed (no data-dependent
// branches or indexes). States wipe themselves on destruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ostrel_pq::crypto {

// FIPS 202 section 3: the permutation Keccak-p[1600, 24] on 25 lanes.
void keccak_f1600(std::uint64_t state[25]) noexcept;

// A sponge with rate `rate_bytes` and domain-separation suffix `suffix`
// (0x06 for SHA3, 0x1F for SHAKE). absorb() may be called any number of
// times, then squeeze() any number of times; absorbing after the first
// squeeze is a programming error (asserted in debug builds).
class KeccakSponge {
public:
    KeccakSponge(std::size_t rate_bytes, std::uint8_t suffix) noexcept;
    ~KeccakSponge();
    KeccakSponge(const KeccakSponge&) = default;
    KeccakSponge& operator=(const KeccakSponge&) = default;

    void absorb(std::span<const std::uint8_t> data) noexcept;
    void squeeze(std::span<std::uint8_t> out) noexcept;
    // Back to the empty state with the same rate and suffix.
    void reset() noexcept;

private:
    void finalize() noexcept;
    std::uint64_t state_[25];
    std::size_t rate_;
    std::size_t pos_;  // byte position within the current block
    std::uint8_t suffix_;
    bool squeezing_;
};

// Incremental XOFs (FIPS 202 section 6.2).
class Shake128 : public KeccakSponge {
public:
    static constexpr std::size_t kRate = 168;
    Shake128() noexcept : KeccakSponge(kRate, 0x1F) {}
};
class Shake256 : public KeccakSponge {
public:
    static constexpr std::size_t kRate = 136;
    Shake256() noexcept : KeccakSponge(kRate, 0x1F) {}
};
class Sha3_256Hasher : public KeccakSponge {
public:
    Sha3_256Hasher() noexcept : KeccakSponge(136, 0x06) {}
};
class Sha3_512Hasher : public KeccakSponge {
public:
    Sha3_512Hasher() noexcept : KeccakSponge(72, 0x06) {}
};

// One-shot helpers (FIPS 202 section 6.1 / 6.2).
void sha3_256(std::span<const std::uint8_t> in, std::span<std::uint8_t, 32> out) noexcept;
void sha3_512(std::span<const std::uint8_t> in, std::span<std::uint8_t, 64> out) noexcept;
void shake128(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept;
void shake256(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept;

}  // namespace ostrel_pq::crypto
