// In-memory rate-limit store: cost of one record + count (what a policy
// with a rate limit does per evaluation) and memory held per key, at 10
// and at 1,000,000 events per key.
//
// Memory is measured, not estimated: this program replaces the global
// allocation functions and keeps a running total of the bytes they hand out.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "core/rate_limit.hpp"

namespace {
std::atomic<std::int64_t> g_live_bytes{0};
}

// These are the replaceable global allocation functions: memory from
// malloc is released with free, which GCC cannot see through.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    g_live_bytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return operator new(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept {
    if (!p) return;
    g_live_bytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }
#pragma GCC diagnostic pop

namespace {

using ostrel_core::InMemoryRateLimitStore;

constexpr std::int64_t kStart = 1'700'000'000;

// Fills `key` with `events` events spread evenly over the day before kStart
// (at most 86,400 distinct seconds, like a busy key in steady state).
void fill(InMemoryRateLimitStore& store, const std::string& key, std::int64_t events) {
    for (std::int64_t i = 0; i < events; ++i) {
        const std::int64_t t = kStart - 86'399 + (i * 86'400) / events;
        (void)store.record(key, t);
    }
}

// Steady state: the clock advances so that the key holds `events` events
// in its 24-hour retention (each record forgets about as much as it adds).
void BM_RecordThenCount(benchmark::State& state) {
    const std::int64_t events = state.range(0);
    InMemoryRateLimitStore store;
    const std::string key = "agent-42:payments.transfer";
    fill(store, key, events);
    std::int64_t i = 0;
    for (auto _ : state) {
        const std::int64_t now = kStart + (i * 86'400) / events;
        ++i;
        (void)store.record(key, now);
        auto c = store.count_in_window(key, now, 3600);
        benchmark::DoNotOptimize(c);
    }
    auto held = store.count_in_window(key, kStart + (i * 86'400) / events, 86'400);
    state.counters["events_held"] = static_cast<double>(held.value_or(0));
    state.counters["buckets"] = static_cast<double>(store.bucket_count(key));
}
BENCHMARK(BM_RecordThenCount)->Arg(10)->Arg(1'000'000);

void BM_CountOnly(benchmark::State& state) {
    const std::int64_t events = state.range(0);
    InMemoryRateLimitStore store;
    const std::string key = "agent-42:payments.transfer";
    fill(store, key, events);
    std::int64_t w = 0;
    for (auto _ : state) {
        auto c = store.count_in_window(key, kStart, 60 + (w++ & 4095));
        benchmark::DoNotOptimize(c);
    }
}
BENCHMARK(BM_CountOnly)->Arg(10)->Arg(1'000'000);

// Bytes held per key (key text, map entry, sweep entry and buckets), measured
// from the allocator's running total.
void BM_BytesPerKey(benchmark::State& state) {
    const std::int64_t events = state.range(0);
    const int keys = events >= 1'000'000 ? 4 : 1000;
    double per_key = 0;
    for (auto _ : state) {
        const std::int64_t before = g_live_bytes.load();
        {
            auto store = std::make_unique<InMemoryRateLimitStore>();
            for (int k = 0; k < keys; ++k) fill(*store, "principal-" + std::to_string(k) + ":orders.create", events);
            per_key = static_cast<double>(g_live_bytes.load() - before) / keys;
            benchmark::DoNotOptimize(store);
        }
    }
    state.counters["bytes_per_key"] = per_key;
}
BENCHMARK(BM_BytesPerKey)->Arg(10)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
