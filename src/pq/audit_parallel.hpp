// First-failure search over independent checks, spread over threads.
//
// `first_failure(n, threads, chunk, check)` calls check(i) for positions
// 0 .. n-1 and returns the smallest position whose check failed together
// with its error, exactly as a loop in order that stops at the first failure
// would, but with the checks run on up to `threads` threads (the caller's
// thread included). Workers claim chunks in increasing order and skip
// positions above the smallest failure found so far, so a failure early in
// the run stops the work quickly.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace ostrel_pq::detail {

// One thread per available CPU when `requested` is 0.
inline unsigned resolve_threads(unsigned requested) noexcept {
    if (requested != 0) return requested;
    const unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : hw;
}

template <class E, class F>
std::optional<std::pair<std::size_t, E>> first_failure(std::size_t n, unsigned threads, std::size_t chunk, F&& check) {
    if (chunk == 0) chunk = 1;
    const std::size_t max_useful = (n + chunk - 1) / chunk;
    std::size_t workers = std::min<std::size_t>(resolve_threads(threads), max_useful);
    if (workers <= 1) {
        for (std::size_t i = 0; i < n; ++i) {
            if (std::optional<E> err = check(i)) return std::pair<std::size_t, E>(i, std::move(*err));
        }
        return std::nullopt;
    }

    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> limit{n};  // smallest failing position so far, n when none
    std::mutex mu;
    std::optional<std::pair<std::size_t, E>> best;

    auto work = [&]() {
        for (;;) {
            const std::size_t start = next.fetch_add(chunk, std::memory_order_relaxed);
            if (start >= limit.load(std::memory_order_acquire)) return;
            const std::size_t end = std::min(start + chunk, n);
            for (std::size_t i = start; i < end; ++i) {
                if (i >= limit.load(std::memory_order_acquire)) return;
                std::optional<E> err = check(i);
                if (!err) continue;
                std::lock_guard lock(mu);
                if (!best || i < best->first) {
                    best.emplace(i, std::move(*err));
                    limit.store(i, std::memory_order_release);
                }
                return;
            }
        }
    };

    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    for (std::size_t t = 1; t < workers; ++t) {
        try {
            pool.emplace_back(work);
        } catch (...) {
            break;  // fewer helpers; the caller's thread still covers every position
        }
    }
    work();
    for (auto& th : pool) th.join();
    return best;
}

}  // namespace ostrel_pq::detail
