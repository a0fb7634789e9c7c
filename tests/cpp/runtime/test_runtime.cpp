#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "runtime/runtime.hpp"
#include "runtime/runtime_asio.hpp"

using namespace ostrel_core;
using namespace std::chrono_literals;

namespace {

asio::awaitable<int> add_after_sleep(int a, int b) {
    co_await sleep_for(1ms);
    co_return a + b;
}

}  // namespace

// Read during static initialisation, before any test runs: loading the
// library must not start the runtime.
const bool g_started_at_load = runtime_started();

TEST(Runtime, NotStartedByLoadingStartedByFirstUse) {
    EXPECT_FALSE(g_started_at_load);
    auto rt = try_runtime();
    ASSERT_TRUE(rt);
    EXPECT_TRUE(runtime_started());
    EXPECT_GE((*rt)->worker_count(), 1u);
    EXPECT_EQ((*rt)->worker_count(), std::max(1u, std::thread::hardware_concurrency()));
}

TEST(Runtime, SameInstanceFromConcurrentFirstCalls) {
    std::vector<std::thread> ts;
    std::vector<Runtime*> got(8, nullptr);
    for (int i = 0; i < 8; ++i) ts.emplace_back([&, i] { got[i] = *try_runtime(); });
    for (auto& t : ts) t.join();
    for (auto* p : got) EXPECT_EQ(p, got[0]);
}

TEST(Runtime, BlockOnReturnsTheResult) {
    EXPECT_FALSE(on_runtime_thread());
    auto r = block_on(add_after_sleep(2, 3));
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 5);
}

TEST(Runtime, BlockOnVoidAndWorkerThreadFlag) {
    bool inside = false;
    auto r = block_on([&]() -> asio::awaitable<void> {
        inside = on_runtime_thread();
        co_return;
    });
    ASSERT_TRUE(r);
    EXPECT_TRUE(inside);
}

TEST(Runtime, BlockOnReportsAThrowingOperationAsFault) {
    auto r = block_on([]() -> asio::awaitable<int> {
        throw std::runtime_error("boom");
        co_return 1;
    });
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().display().find("boom"), std::string::npos);
}

// A blocking call from inside a runtime task must fail instead of parking
// the worker (which, with every worker parked, would deadlock).
TEST(Runtime, BlockingFromAWorkerThreadFailsAsFault) {
    auto r = block_on([]() -> asio::awaitable<std::string> {
        auto inner = block_on(add_after_sleep(1, 1));
        co_return inner ? std::string("blocked") : inner.error().display();
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, kBlockingOnWorkerFault);
}

TEST(Runtime, SpawnedTaskRunsAndFinishes) {
    std::atomic<int> value{0};
    auto h = spawn([&]() -> asio::awaitable<void> {
        co_await sleep_for(1ms);
        value = 9;
    });
    ASSERT_TRUE(h);
    ASSERT_TRUE(*h->wait_for(10s));
    EXPECT_TRUE(h->is_finished());
    EXPECT_EQ(value.load(), 9);
}

TEST(Runtime, AbortStopsATaskAtItsNextSuspension) {
    std::atomic<int> ticks{0};
    std::atomic<bool> after_loop{false};
    auto h = spawn([&]() -> asio::awaitable<void> {
        for (;;) {
            ++ticks;
            co_await sleep_for(1h);  // would never finish by itself
        }
        after_loop = true;
    });
    ASSERT_TRUE(h);
    while (ticks.load() == 0) std::this_thread::yield();
    EXPECT_FALSE(h->is_finished());
    h->abort();
    h->abort();  // a second request does nothing
    ASSERT_TRUE(*h->wait_for(10s));
    EXPECT_TRUE(h->is_finished());
    EXPECT_TRUE(h->abort_requested());
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_FALSE(after_loop.load());
    h->abort();  // after the end: harmless
}

TEST(Runtime, DroppingTheHandleDoesNotStopTheTask) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto [tx, rx] = BroadcastChannel<int>::create(1);
    {
        auto h = spawn([done, tx = tx]() mutable -> asio::awaitable<void> {
            co_await sleep_for(5ms);
            *done = true;
            tx.send(1);
        });
        ASSERT_TRUE(h);
    }
    EXPECT_EQ(*rx.recv_for(10s), 1);
    EXPECT_TRUE(done->load());
}

TEST(Runtime, TaskWaitFromWorkerFails) {
    auto h = spawn([]() -> asio::awaitable<void> { co_await sleep_for(1h); });
    ASSERT_TRUE(h);
    auto r = block_on([h = *h]() -> asio::awaitable<bool> {
        auto w = h.wait();
        co_return w.has_value();
    });
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
    h->abort();
    EXPECT_TRUE(*h->wait_for(10s));
}

// Awaiting a broadcast receiver from a task: values, lag and closed arrive
// without blocking a worker. The task reports each outcome and then waits for
// a go-ahead, so the test decides what is queued before each receive.
TEST(Runtime, AsyncRecvDeliversValuesLagAndClosed) {
    auto [tx, rx] = BroadcastChannel<int>::create(2);
    auto [report_tx, report_rx] = BroadcastChannel<std::string>::create(16);
    auto [go_tx, go_rx] = BroadcastChannel<int>::create(1);
    auto h = spawn([rx = std::move(rx), report_tx = report_tx,
                    go_rx = std::move(go_rx)]() mutable -> asio::awaitable<void> {
        for (;;) {
            auto r = co_await async_recv(rx);
            if (r) {
                report_tx.send("v" + std::to_string(*r));
            } else if (r.error().kind == BroadcastRecvError::Kind::Lagged) {
                report_tx.send("lag" + std::to_string(r.error().dropped));
            } else {
                report_tx.send("closed");
                co_return;
            }
            auto go = co_await async_recv(go_rx);
            (void)go;
        }
    });
    ASSERT_TRUE(h);
    // Give the task time to park in its wait, so the send has to wake it
    // (the outcome is the same if it has not parked yet).
    std::this_thread::sleep_for(20ms);
    tx.send(1);
    EXPECT_EQ(*report_rx.recv_for(10s), "v1");
    // More than capacity queued at once: lag, then the newest two, then closed.
    for (int i = 2; i <= 6; ++i) tx.send(i);
    { auto gone = std::move(tx); }
    std::vector<std::string> rest;
    for (int i = 0; i < 4; ++i) {
        go_tx.send(0);
        auto r = report_rx.recv_for(10s);
        ASSERT_TRUE(r);
        rest.push_back(*r);
    }
    EXPECT_EQ(rest, (std::vector<std::string>{"lag3", "v5", "v6", "closed"}));
    EXPECT_TRUE(*h->wait_for(10s));
}

TEST(Runtime, AbortEndsAPendingAsyncRecvWithoutTakingValues) {
    auto [tx, rx] = BroadcastChannel<int>::create(4);
    std::atomic<int> taken{0};
    std::atomic<bool> waiting{false};
    auto h = spawn([&, rx = std::move(rx)]() mutable -> asio::awaitable<void> {
        for (;;) {
            waiting = true;
            auto r = co_await async_recv(rx);
            if (!r) co_return;
            ++taken;
        }
    });
    ASSERT_TRUE(h);
    while (!waiting.load()) std::this_thread::yield();
    h->abort();
    ASSERT_TRUE(*h->wait_for(10s));
    tx.send(1);
    EXPECT_EQ(taken.load(), 0);
    EXPECT_EQ(tx.receiver_count(), 0u);  // the task's receiver went with it
}

// Many waiting tasks on a handful of workers: each gets every value.
TEST(Runtime, ManyAwaitingTasksShareFewWorkers) {
    constexpr int kTasks = 500;
    auto [tx, rx0] = BroadcastChannel<int>::create(16);
    std::atomic<int> sum{0};
    std::vector<TaskHandle> hs;
    for (int i = 0; i < kTasks; ++i) {
        auto h = spawn([&sum, rx = tx.subscribe()]() mutable -> asio::awaitable<void> {
            for (;;) {
                auto r = co_await async_recv(rx);
                if (!r) co_return;
                sum += *r;
            }
        });
        ASSERT_TRUE(h);
        hs.push_back(*h);
    }
    tx.send(1);
    tx.send(2);
    { auto gone = std::move(tx); }
    for (auto& h : hs) ASSERT_TRUE(*h.wait_for(30s));
    EXPECT_EQ(sum.load(), 3 * kTasks);
}

// Blocking work runs off the worker threads: a task waiting on it leaves the
// workers free, and the pool thread counts as a runtime thread (blocking
// calls fail there too).
TEST(Runtime, RunBlockingKeepsWorkersFree) {
    auto rt = *try_runtime();
    const std::size_t workers = rt->worker_count();
    // Park more blocking jobs than there are workers; each waits for a
    // release that only another task can give.
    auto [release_tx, release_rx0] = BroadcastChannel<int>::create(1);
    std::vector<TaskHandle> parked;
    std::atomic<int> finished{0};
    std::atomic<int> blocked_on_runtime_thread{0};
    for (std::size_t i = 0; i < workers + 2; ++i) {
        auto h = spawn([&, rx = std::make_shared<BroadcastReceiver<int>>(release_tx.subscribe())]()
                           -> asio::awaitable<void> {
            auto job = [&blocked_on_runtime_thread, rx] {
                if (on_runtime_thread()) ++blocked_on_runtime_thread;
                (void)rx->recv();
            };
            co_await run_blocking(std::move(job));
            ++finished;
        });
        ASSERT_TRUE(h);
        parked.push_back(*h);
    }
    // With every blocking job parked, a task still runs to completion.
    auto r = block_on(add_after_sleep(20, 22));
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 42);
    EXPECT_EQ(finished.load(), 0);
    release_tx.send(1);
    for (auto& h : parked) ASSERT_TRUE(*h.wait_for(30s));
    EXPECT_EQ(finished.load(), static_cast<int>(workers + 2));
    EXPECT_EQ(blocked_on_runtime_thread.load(), static_cast<int>(workers + 2));
}

TEST(Runtime, AbortEndsAWaitOnBlockingWork) {
    auto [release_tx, rx0] = BroadcastChannel<int>::create(1);
    auto rx = std::make_shared<BroadcastReceiver<int>>(release_tx.subscribe());
    std::atomic<bool> started{false};
    std::atomic<bool> after{false};
    auto h = spawn([&, rx]() -> asio::awaitable<void> {
        auto job = [&started, rx] {
            started = true;
            (void)rx->recv();
        };
        co_await run_blocking(std::move(job));
        after = true;
    });
    ASSERT_TRUE(h);
    while (!started.load()) std::this_thread::yield();
    h->abort();
    ASSERT_TRUE(*h->wait_for(10s));
    EXPECT_FALSE(after.load());
    release_tx.send(1);  // let the pool thread go
}
