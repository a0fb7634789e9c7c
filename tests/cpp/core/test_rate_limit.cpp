#include "core/rate_limit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <thread>

using namespace ostrel_core;

namespace ostrel_test {
extern thread_local long g_fail_allocation_in;  // defined in test_session_store.cpp
}

namespace {

constexpr std::int64_t kMin = INT64_MIN;
constexpr std::int64_t kMax = INT64_MAX;

// The store's contract written the plain way: every event kept in a list,
// pruned on record, counted by a full scan.
struct ReferenceStore {
    std::map<std::string, std::vector<std::int64_t>> events;

    void record(const std::string& key, std::int64_t now) {
        auto& v = events[key];
        v.push_back(now);
        const __int128 threshold = static_cast<__int128>(now) - 86400;
        std::erase_if(v, [&](std::int64_t t) { return t <= threshold; });
    }
    std::uint64_t count(const std::string& key, std::int64_t now, std::int64_t window) const {
        const auto it = events.find(key);
        if (it == events.end()) return 0;
        const __int128 lower = static_cast<__int128>(now) - window;
        return static_cast<std::uint64_t>(
            std::count_if(it->second.begin(), it->second.end(), [&](std::int64_t t) { return lower < t && t <= now; }));
    }
};

std::uint64_t count(InMemoryRateLimitStore& s, std::string_view key, std::int64_t now, std::int64_t window) {
    auto r = s.count_in_window(key, now, window);
    EXPECT_TRUE(r.has_value());
    return r.value_or(~std::uint64_t{0});
}

void record(InMemoryRateLimitStore& s, std::string_view key, std::int64_t now) {
    ASSERT_TRUE(s.record(key, now).has_value());
}

TEST(InMemoryRateLimitStore, WindowExcludesItsLowerBoundAndIncludesNow) {
    InMemoryRateLimitStore s;
    EXPECT_EQ(count(s, "unknown", 1000, 60), 0u);
    record(s, "k", 1000);
    EXPECT_EQ(count(s, "k", 1000, 60), 1u);
    EXPECT_EQ(count(s, "k", 1060, 60), 0u) << "an event exactly at now - window is excluded";
    EXPECT_EQ(count(s, "k", 1059, 60), 1u);
    EXPECT_EQ(count(s, "k", 999, 60), 0u) << "events after now are not counted";
    for (std::int64_t window : {std::int64_t{0}, std::int64_t{-1}, kMin}) EXPECT_EQ(count(s, "k", 1000, window), 0u);
    EXPECT_EQ(count(s, "other", 1000, 60), 0u) << "keys are separate";
}

TEST(InMemoryRateLimitStore, RecordForgetsEventsADayOlderThanItsNow) {
    InMemoryRateLimitStore s;
    const std::int64_t t = 1'000'000;
    record(s, "k", t + 500);  // in the future of the records below
    record(s, "k", t - 86400);
    record(s, "k", t - 86399);
    EXPECT_EQ(count(s, "k", t + 500, 1'000'000), 3u) << "nothing is a day older than the latest record's now";
    record(s, "k", t);
    EXPECT_EQ(count(s, "k", t + 500, 1'000'000), 3u) << "t - 86400 removed; t - 86399, t and t + 500 kept";
    EXPECT_EQ(count(s, "k", t, 1'000'000), 2u) << "the future event is kept but not counted before its time";
    EXPECT_EQ(count(s, "k", t - 86399, 1), 1u);
    EXPECT_EQ(s.bucket_count("k"), 3u);
}

TEST(InMemoryRateLimitStore, OneBucketPerSecondWhateverTheRate) {
    InMemoryRateLimitStore s;
    for (std::int64_t sec = 0; sec < 100; ++sec)
        for (int i = 0; i < 1000; ++i) record(s, "hot", 5000 + sec);
    EXPECT_EQ(s.bucket_count("hot"), 100u);
    EXPECT_EQ(count(s, "hot", 5099, 100), 100'000u);
    EXPECT_EQ(count(s, "hot", 5099, 10), 10'000u);
    EXPECT_EQ(count(s, "hot", 5049, 1), 1'000u);
}

TEST(InMemoryRateLimitStore, ADayOfSecondsIsTheMostAKeyHolds) {
    InMemoryRateLimitStore s;
    for (std::int64_t now = 0; now < 200'000; ++now) record(s, "k", now);
    EXPECT_EQ(s.bucket_count("k"), 86'400u);
    EXPECT_EQ(count(s, "k", 199'999, 1'000'000'000), 86'400u);
    EXPECT_EQ(count(s, "k", 199'999, 60), 60u);
}

TEST(InMemoryRateLimitStore, OutOfOrderEventsLandInTheirSecond) {
    InMemoryRateLimitStore s;
    ReferenceStore ref;
    const std::int64_t times[] = {100, 105, 103, 103, 99, 105, 101, 50, 104, 98, 200, 150};
    for (auto t : times) {
        record(s, "k", t);
        ref.record("k", t);
    }
    for (std::int64_t now = 40; now <= 210; ++now)
        for (std::int64_t w : {1, 2, 3, 5, 10, 60, 200})
            EXPECT_EQ(count(s, "k", now, w), ref.count("k", now, w)) << now << " " << w;
}

TEST(InMemoryRateLimitStore, ExtremeTimesAndWindowsDoNotOverflow) {
    InMemoryRateLimitStore s;
    record(s, "low", kMin);
    EXPECT_EQ(count(s, "low", kMin, 1), 1u);
    EXPECT_EQ(count(s, "low", kMin, kMax), 1u);
    EXPECT_EQ(count(s, "low", kMax, kMax), 0u) << "kMax - kMax = 0 excludes kMin";
    record(s, "high", kMax);
    EXPECT_EQ(count(s, "high", kMax, kMax), 1u);
    EXPECT_EQ(count(s, "high", 0, kMax), 0u);
    record(s, "both", kMax);
    record(s, "both", kMin);
    EXPECT_EQ(count(s, "both", kMax, kMax), 1u);
    EXPECT_EQ(count(s, "both", kMin, 1), 1u);
    EXPECT_EQ(s.bucket_count("both"), 2u);
}

// Random operations with out-of-order and future times, compared against the
// plain model. The keys stay busy, so no key is ever swept.
TEST(InMemoryRateLimitStore, MatchesThePlainModelOnRandomOperations) {
    InMemoryRateLimitStore s;
    ReferenceStore ref;
    std::mt19937_64 rng(7);
    const std::string keys[] = {"a", "b", "c"};
    std::int64_t clock = 0;
    const std::int64_t windows[] = {0, 1, 2, 30, 60, 3600, 86400, 86401, 200000, kMax};
    for (int op = 0; op < 30000; ++op) {
        clock += static_cast<std::int64_t>(rng() % 25);
        std::int64_t now = clock;
        const auto roll = rng() % 20;
        if (roll < 2) now -= static_cast<std::int64_t>(rng() % 5000);
        if (roll == 2) now += static_cast<std::int64_t>(rng() % 5000);
        const std::string& key = keys[rng() % 3];
        if (rng() % 3 != 0) {
            record(s, key, now);
            ref.record(key, now);
        }
        const std::int64_t w = windows[rng() % std::size(windows)];
        ASSERT_EQ(count(s, key, now, w), ref.count(key, now, w)) << "op " << op << " now " << now << " window " << w;
    }
    EXPECT_EQ(s.key_count(), 3u);
}

// Keys come and go over ten days; callers record and then count, with clocks
// lagging by up to ten minutes. Idle keys are swept, and every count is what
// the plain model (which never forgets a key) answers.
TEST(InMemoryRateLimitStore, SweepingIdleKeysChangesNoDecision) {
    InMemoryRateLimitStore s;
    ReferenceStore ref;
    std::mt19937_64 rng(11);
    std::int64_t clock = 1'700'000'000;
    int distinct = 0;
    for (int step = 0; step < 15000; ++step) {
        clock += static_cast<std::int64_t>(rng() % 120);
        const std::int64_t now = clock - static_cast<std::int64_t>(rng() % 600);
        int index = step / 10 + static_cast<int>(rng() % 20);
        if (rng() % 20 == 0) index = static_cast<int>(rng() % (step / 10 + 20));  // an old key returns
        distinct = std::max(distinct, index + 1);
        const std::string key = "principal-" + std::to_string(index) + ":orders.create";
        record(s, key, now);
        ref.record(key, now);
        for (std::int64_t w : {60, 3600, 86400, 172800})
            ASSERT_EQ(count(s, key, now, w), ref.count(key, now, w)) << "step " << step << " key " << key;
    }
    EXPECT_LT(s.key_count(), static_cast<std::size_t>(distinct) / 3)
        << "idle keys were swept (" << s.key_count() << " of " << distinct << " held)";
}

TEST(InMemoryRateLimitStore, ConcurrentRecordsAreAllCounted) {
    auto s = InMemoryRateLimitStore::create();
    std::atomic<bool> done{false};
    std::atomic<int> went_backwards{0};
    std::thread reader([&] {
        std::uint64_t last = 0;
        while (!done) {
            const auto c = s->count_in_window("k", 2000, 2000);
            if (!c || *c < last) ++went_backwards;
            if (c) last = *c;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 5000; ++i) (void)s->record("k", 1000 + (i * 7 + t) % 50);
        });
    for (auto& w : writers) w.join();
    done = true;
    reader.join();
    EXPECT_EQ(went_backwards, 0);
    EXPECT_EQ(*s->count_in_window("k", 2000, 2000), 20'000u);
    EXPECT_EQ(s->bucket_count("k"), 50u);
}

TEST(InMemoryRateLimitStore, AFailedUpdatePoisonsTheStoreForGood) {
    InMemoryRateLimitStore s;
    record(s, "k", 10);
    ostrel_test::g_fail_allocation_in = 0;
    auto failed = s.record("a-rate-limit-key-long-enough-to-need-heap-storage", 10);
    ostrel_test::g_fail_allocation_in = -1;
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().kind(), RateLimitStoreError::Kind::Other);
    EXPECT_TRUE(s.is_poisoned());
    const std::string poisoned = "rate-limit store: rate-limit lock poisoned";
    auto r = s.record("k", 11);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), poisoned);
    auto c = s.count_in_window("k", 11, 60);
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error(), RateLimitStoreError::other("rate-limit lock poisoned"));
}

TEST(RateLimitStoreError, DisplayTexts) {
    EXPECT_EQ(RateLimitStoreError::backend("down").display(), "rate-limit backend unavailable: down");
    EXPECT_EQ(RateLimitStoreError::corrupt("not a number").display(), "rate-limit store corruption: not a number");
    EXPECT_EQ(RateLimitStoreError::other("x").display(), "rate-limit store: x");
}

}  // namespace
