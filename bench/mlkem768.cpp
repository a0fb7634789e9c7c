// ML-KEM-768 timings: key generation from the stored 64-byte seed, encapsulation
// (including the encapsulation-key check and OS randomness) and decapsulation
// from the seed (key expansion plus decapsulation, as every opening does).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pq/crypto/mlkem768.hpp"

namespace {

namespace kem = ostrel_pq::crypto::mlkem768;

std::array<std::uint8_t, 64> fixed_seed() {
    std::array<std::uint8_t, 64> seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 29 + 3);
    return seed;
}

void BM_MlKem768_KeygenFromSeed(benchmark::State& state) {
    const auto seed = fixed_seed();
    for (auto _ : state) {
        auto kp = kem::keygen_from_seed(seed);
        benchmark::DoNotOptimize(kp);
    }
}
BENCHMARK(BM_MlKem768_KeygenFromSeed);

void BM_MlKem768_Encaps(benchmark::State& state) {
    const auto kp = kem::keygen_from_seed(fixed_seed());
    if (!kp) {
        state.SkipWithError("keygen failed");
        return;
    }
    for (auto _ : state) {
        auto enc = kem::encaps(kp->encapsulation_key);
        benchmark::DoNotOptimize(enc);
    }
}
BENCHMARK(BM_MlKem768_Encaps);

void BM_MlKem768_DecapsFromSeed(benchmark::State& state) {
    const auto seed = fixed_seed();
    const auto kp = kem::keygen_from_seed(seed);
    const auto enc = kp ? kem::encaps(kp->encapsulation_key) : std::unexpected(kp.error());
    if (!enc) {
        state.SkipWithError("setup failed");
        return;
    }
    for (auto _ : state) {
        auto ss = kem::decaps_from_seed(seed, enc->ciphertext);
        benchmark::DoNotOptimize(ss);
    }
}
BENCHMARK(BM_MlKem768_DecapsFromSeed);

void BM_MlKem768_DecapsExpandedKey(benchmark::State& state) {
    const auto kp = kem::keygen_from_seed(fixed_seed());
    const auto enc = kp ? kem::encaps(kp->encapsulation_key) : std::unexpected(kp.error());
    if (!enc) {
        state.SkipWithError("setup failed");
        return;
    }
    for (auto _ : state) {
        auto ss = kem::decaps(kp->decapsulation_key.span(), enc->ciphertext);
        benchmark::DoNotOptimize(ss);
    }
}
BENCHMARK(BM_MlKem768_DecapsExpandedKey);

}  // namespace

BENCHMARK_MAIN();
