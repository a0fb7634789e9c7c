// Four-way Keccak against the one-way code: the AVX2 and the portable
// permutation on distinct states, and four-way SHAKE against four separate
// SHAKE computations at the lengths where padding and block ends matter.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "pq/crypto/keccak.hpp"
#include "pq/crypto/keccak_x4.hpp"

namespace {

using namespace ostrel_pq::crypto;
using Bytes = std::vector<std::uint8_t>;

// Four different states: lane i of state k is a mix of i and k.
std::array<std::uint64_t, 100> distinct_states() {
    std::array<std::uint64_t, 100> s{};
    for (int i = 0; i < 25; ++i) {
        for (int k = 0; k < 4; ++k) {
            s[4 * i + k] = 0x9E3779B97F4A7C15ULL * static_cast<std::uint64_t>(i + 1) ^
                           (static_cast<std::uint64_t>(k + 1) << (7 * k + i % 13));
        }
    }
    return s;
}

std::array<std::uint64_t, 100> one_way_reference(std::array<std::uint64_t, 100> s, int rounds_of_f) {
    for (int k = 0; k < 4; ++k) {
        std::uint64_t one[25];
        for (int i = 0; i < 25; ++i) one[i] = s[4 * i + k];
        for (int r = 0; r < rounds_of_f; ++r) keccak_f1600(one);
        for (int i = 0; i < 25; ++i) s[4 * i + k] = one[i];
    }
    return s;
}

TEST(KeccakX4, PortablePermutationMatchesOneWay) {
    auto s = distinct_states();
    const auto want = one_way_reference(s, 3);
    for (int r = 0; r < 3; ++r) keccak_f1600_x4_portable(s.data());
    EXPECT_EQ(s, want);
}

TEST(KeccakX4, Avx2PermutationMatchesOneWay) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "CPU without AVX2";
    auto s = distinct_states();
    const auto want = one_way_reference(s, 3);
    for (int r = 0; r < 3; ++r) keccak_f1600_x4_avx2(s.data());
    EXPECT_EQ(s, want);
}

TEST(KeccakX4, ForcePortableIsScopedAndSelectsPath) {
    const bool before = portable_forced();
    {
        ScopedForcePortable forced(true);
        EXPECT_TRUE(portable_forced());
        EXPECT_FALSE(use_avx2());
        {
            ScopedForcePortable released(false);
            EXPECT_EQ(use_avx2(), cpu_has_avx2());
        }
        EXPECT_TRUE(portable_forced());
    }
    EXPECT_EQ(portable_forced(), before);
}

Bytes input_for(int stream, std::size_t len) {
    Bytes b(len);
    for (std::size_t i = 0; i < len; ++i) b[i] = static_cast<std::uint8_t>(i * 29 + stream * 101 + 3);
    return b;
}

// Every input length around the two rates' block ends, both paths, three
// squeezed blocks so the squeeze permutation chain is exercised too.
TEST(KeccakX4, ShakeX4MatchesFourSeparateShakes) {
    for (bool portable : {true, false}) {
        ScopedForcePortable path(portable);
        for (std::size_t len : {0u, 1u, 33u, 34u, 66u, 135u, 136u, 137u, 167u, 168u, 169u, 340u}) {
            for (std::size_t rate : {Shake128x4::kRate, Shake256x4::kRate}) {
                SCOPED_TRACE(testing::Message() << "portable=" << portable << " len=" << len << " rate=" << rate);
                Bytes in[4];
                for (int k = 0; k < 4; ++k) in[k] = input_for(k, len);
                constexpr std::size_t kBlocks = 3;
                Bytes got[4];
                for (auto& g : got) g.assign(kBlocks * rate, 0);
                KeccakX4 x4(rate);
                x4.absorb_once(in[0], in[1], in[2], in[3]);
                // One block, then two more: continuation must match one long squeeze.
                x4.squeeze_blocks(got[0].data(), got[1].data(), got[2].data(), got[3].data(), 1);
                x4.squeeze_blocks(got[0].data() + rate, got[1].data() + rate, got[2].data() + rate,
                                  got[3].data() + rate, kBlocks - 1);
                for (int k = 0; k < 4; ++k) {
                    Bytes want(kBlocks * rate);
                    if (rate == Shake128x4::kRate) {
                        shake128(in[k], want);
                    } else {
                        shake256(in[k], want);
                    }
                    EXPECT_EQ(got[k], want) << "stream " << k;
                }
            }
        }
    }
}

}  // namespace
