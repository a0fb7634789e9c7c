// ML-KEM-768 timings: key generation from the stored 64-byte seed, encapsulation
// (including the encapsulation-key check and OS randomness) and decapsulation
// from the seed (key expansion plus decapsulation, as every opening does).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mlkem768.hpp"

namespace {

namespace kem = ostrel_pq::crypto::mlkem768;

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

std::array<std::uint8_t, 64> fixed_seed() {
    std::array<std::uint8_t, 64> seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 29 + 3);
    return seed;
}

void BM_MlKem768_KeygenFromSeed(benchmark::State& state, bool portable) {
    const PathChoice path(state, portable);
    const auto seed = fixed_seed();
    for (auto _ : state) {
        auto kp = kem::keygen_from_seed(seed);
        benchmark::DoNotOptimize(kp);
    }
}
BENCHMARK_CAPTURE(BM_MlKem768_KeygenFromSeed, portable, true);
BENCHMARK_CAPTURE(BM_MlKem768_KeygenFromSeed, dispatched, false);

void BM_MlKem768_Encaps(benchmark::State& state, bool portable) {
    const PathChoice path(state, portable);
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
BENCHMARK_CAPTURE(BM_MlKem768_Encaps, portable, true);
BENCHMARK_CAPTURE(BM_MlKem768_Encaps, dispatched, false);

void BM_MlKem768_DecapsFromSeed(benchmark::State& state, bool portable) {
    const PathChoice path(state, portable);
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
BENCHMARK_CAPTURE(BM_MlKem768_DecapsFromSeed, portable, true);
BENCHMARK_CAPTURE(BM_MlKem768_DecapsFromSeed, dispatched, false);

void BM_MlKem768_DecapsExpandedKey(benchmark::State& state, bool portable) {
    const PathChoice path(state, portable);
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
BENCHMARK_CAPTURE(BM_MlKem768_DecapsExpandedKey, portable, true);
BENCHMARK_CAPTURE(BM_MlKem768_DecapsExpandedKey, dispatched, false);

}  // namespace

BENCHMARK_MAIN();
