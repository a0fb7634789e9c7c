#include "core/session_store.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <thread>

using namespace ostrel_core;

// Allocation fault injection for this test binary: when
// g_fail_allocation_in is n >= 0, the (n+1)-th plain operator new call on the
// arming thread throws std::bad_alloc. Disarmed (-1) it is malloc/free.
// The store tests use it to make an update fail half-way.
namespace ostrel_test {
thread_local long g_fail_allocation_in = -1;
}

namespace ostrel_test {
namespace {
void* checked_malloc(std::size_t n) {
    if (g_fail_allocation_in >= 0 && g_fail_allocation_in-- == 0) return nullptr;
    return std::malloc(n ? n : 1);
}
}  // namespace
}  // namespace ostrel_test

// Every plain, array and nothrow form is replaced so that each allocation is
// released by the matching function (sanitizers check the pairing). The
// over-aligned forms are left to the library; they pair among themselves.
void* operator new(std::size_t n) {
    if (void* p = ostrel_test::checked_malloc(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return ostrel_test::checked_malloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return ostrel_test::checked_malloc(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

SessionState state_with_count(std::uint64_t n) {
    SessionState s = SessionState::create();
    s.action_count = n;
    return s;
}

TEST(InMemorySessionStore, UnknownIdIsEmptyNotAnError) {
    InMemorySessionStore store;
    EXPECT_EQ(store.len(), 0u);
    auto got = store.get("never-put");
    ASSERT_TRUE(got.has_value());
    EXPECT_FALSE(got->has_value());
}

TEST(InMemorySessionStore, PutReplacesAndTheIdArgumentIsTheKey) {
    InMemorySessionStore store;
    const SessionState first = state_with_count(1);
    const SessionState second = state_with_count(2);
    ASSERT_TRUE(store.put("s-1", first).has_value());
    ASSERT_TRUE(store.put("s-1", second).has_value());
    EXPECT_EQ(store.len(), 1u);
    EXPECT_EQ(store.get("s-1")->value(), second);
    // Stored under the given id, whatever the state's own session_id says.
    EXPECT_FALSE(store.get(second.session_id.to_string())->has_value());
}

TEST(InMemorySessionStore, HoldsItsOwnCopies) {
    InMemorySessionStore store;
    SessionState s = state_with_count(5);
    ASSERT_TRUE(store.put("k", s).has_value());
    s.invalidated = true;
    auto got = store.get("k");
    ASSERT_TRUE(got.has_value() && got->has_value());
    EXPECT_FALSE((*got)->invalidated);
    (*got)->action_count = 99;
    EXPECT_EQ(store.get("k")->value().action_count, 5u);
}

TEST(InMemorySessionStore, ConcurrentPutsAndGets) {
    auto store = InMemorySessionStore::create();
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 250; ++i) {
                const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
                SessionState s = state_with_count(static_cast<std::uint64_t>(t * 1000 + i));
                if (!store->put(id, s).has_value()) ++mismatches;
                auto got = store->get(id);
                if (!got || !got->has_value() || **got != s) ++mismatches;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(store->len(), 1000u);
}

TEST(InMemorySessionStore, AFailedUpdatePoisonsTheStoreForGood) {
    InMemorySessionStore store;
    ASSERT_TRUE(store.put("kept", state_with_count(1)).has_value());
    SessionState s = state_with_count(2);
    ostrel_test::g_fail_allocation_in = 0;
    auto failed = store.put("a-session-id-long-enough-to-need-heap-storage", std::move(s));
    ostrel_test::g_fail_allocation_in = -1;
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().kind(), SessionStoreError::Kind::Other);
    EXPECT_TRUE(store.is_poisoned());

    const std::string poisoned = "session store: session lock poisoned";
    auto got = store.get("kept");
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().display(), poisoned);
    auto put = store.put("other", state_with_count(3));
    ASSERT_FALSE(put.has_value());
    EXPECT_EQ(put.error().display(), poisoned);
    EXPECT_EQ(put.error(), SessionStoreError::other("session lock poisoned"));
    EXPECT_EQ(store.len(), 0u);
}

TEST(SessionStoreError, DisplayTexts) {
    EXPECT_EQ(SessionStoreError::backend("timeout").display(), "session backend unavailable: timeout");
    EXPECT_EQ(SessionStoreError::corrupt("bad json").display(), "session store corruption: bad json");
    EXPECT_EQ(SessionStoreError::other("x").display(), "session store: x");
    EXPECT_EQ(SessionStoreError::corrupt("m").kind(), SessionStoreError::Kind::Corrupt);
    EXPECT_EQ(SessionStoreError::corrupt("m").message(), "m");
}

}  // namespace
