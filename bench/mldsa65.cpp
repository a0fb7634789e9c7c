// ML-DSA-65 timings: key generation from a seed, signing a 100-byte message
// from the seed (the way key pairs that store only the seed sign), signing
// with an already expanded secret key, and verification.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mldsa65.hpp"

namespace {

namespace mldsa = ostrel_pq::crypto::mldsa65;

// Each operation runs twice: with the portable code forced ("portable") and
// with the run-time selection ("dispatched", the AVX2 code where the CPU has
// it), labelled with the path actually taken.
class PathChoice {
public:
    PathChoice(benchmark::State& state, bool portable) : forced_(portable) {
        state.SetLabel(ostrel_pq::crypto::use_avx2() ? "avx2" : "portable");
    }

private:
    ostrel_pq::crypto::ScopedForcePortable forced_;
};

std::array<std::uint8_t, 32> bench_seed() {
    std::array<std::uint8_t, 32> s{};
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i * 29 + 3);
    return s;
}

std::array<std::uint8_t, 100> bench_message() {
    std::array<std::uint8_t, 100> m{};
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i);
    return m;
}

void BM_KeyGenFromSeed(benchmark::State& state, bool portable) {
    const PathChoice path(state, portable);
    const auto seed = bench_seed();
    for (auto _ : state) {
        auto kp = mldsa::keygen_internal(seed);
        benchmark::DoNotOptimize(kp.public_key.data());
    }
}
BENCHMARK_CAPTURE(BM_KeyGenFromSeed, portable, true);
BENCHMARK_CAPTURE(BM_KeyGenFromSeed, dispatched, false);

// The message changes each iteration (a counter in its first bytes) so the
// number of rejection passes averages out instead of repeating one message's.
void BM_SignFromSeed100B(benchmark::State& state, bool portable) {
    const PathChoice path(state, portable);
    const auto seed = bench_seed();
    auto msg = bench_message();
    std::uint32_t counter = 0;
    for (auto _ : state) {
        ++counter;
        for (int i = 0; i < 4; ++i) msg[i] = static_cast<std::uint8_t>(counter >> (8 * i));
        auto sig = mldsa::sign_with_seed(seed, msg, {}, mldsa::kDeterministicRnd);
        benchmark::DoNotOptimize(sig->data());
    }
}
BENCHMARK_CAPTURE(BM_SignFromSeed100B, portable, true);
BENCHMARK_CAPTURE(BM_SignFromSeed100B, dispatched, false);

void BM_SignExpandedKey100B(benchmark::State& state, bool portable) {
    const PathChoice path(state, portable);
    const auto kp = mldsa::keygen_internal(bench_seed());
    auto msg = bench_message();
    std::uint32_t counter = 0;
    for (auto _ : state) {
        ++counter;
        for (int i = 0; i < 4; ++i) msg[i] = static_cast<std::uint8_t>(counter >> (8 * i));
        auto sig = mldsa::sign(kp.secret_key.span(), msg, {}, mldsa::kDeterministicRnd);
        benchmark::DoNotOptimize(sig->data());
    }
}
BENCHMARK_CAPTURE(BM_SignExpandedKey100B, portable, true);
BENCHMARK_CAPTURE(BM_SignExpandedKey100B, dispatched, false);

void BM_Verify100B(benchmark::State& state, bool portable) {
    const PathChoice path(state, portable);
    const auto kp = mldsa::keygen_internal(bench_seed());
    const auto msg = bench_message();
    const auto sig = mldsa::sign(kp.secret_key.span(), msg, {}, mldsa::kDeterministicRnd);
    for (auto _ : state) {
        const bool ok = mldsa::verify(kp.public_key, msg, {}, *sig);
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK_CAPTURE(BM_Verify100B, portable, true);
BENCHMARK_CAPTURE(BM_Verify100B, dispatched, false);

}  // namespace

BENCHMARK_MAIN();
