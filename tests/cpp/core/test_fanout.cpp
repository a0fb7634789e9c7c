// In-process invalidation fan-out: the in-memory broadcaster and listener
// tasks on the shared runtime.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/in_memory_broadcaster.hpp"
#include "core/invalidation.hpp"
#include "core/invalidation_listener.hpp"
#include "util/log.hpp"

using namespace ostrel_core;
using namespace std::chrono_literals;
namespace lg = ostrel_util::log;

namespace {

InvalidationScope scope_n(int n) {
    return InvalidationScope{InvalidationTarget::principal("p-" + std::to_string(n)), "reason " + std::to_string(n),
                             "test"};
}

// Records the scopes a handler saw, and lets the test wait for a number of them.
class Seen {
public:
    void add(const InvalidationScope& s) {
        {
            std::lock_guard lock(mu_);
            names_.push_back(s.target.name());
        }
        cv_.notify_all();
    }
    bool wait_for_count(std::size_t n, std::chrono::seconds limit = 30s) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, limit, [&] { return names_.size() >= n; });
    }
    std::vector<std::string> names() const {
        std::lock_guard lock(mu_);
        return names_;
    }

private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> names_;
};

std::vector<std::string> names_from(int from, int to) {
    std::vector<std::string> v;
    for (int i = from; i < to; ++i) v.push_back("p-" + std::to_string(i));
    return v;
}

// Starts a listener that records into `seen`, in one of the three handler forms.
enum class Form { Inline, Blocking, Async };

TaskHandle listen(std::shared_ptr<InvalidationBroadcaster> b, std::shared_ptr<Seen> seen, Form form) {
    std::expected<TaskHandle, RuntimeFault> h;
    switch (form) {
        case Form::Inline:
            h = spawn_invalidation_listener(std::move(b), [seen](InvalidationScope s) { seen->add(s); });
            break;
        case Form::Blocking:
            h = spawn_invalidation_listener(
                std::move(b), [seen](InvalidationScope s) { seen->add(s); }, HandlerMode::Blocking);
            break;
        case Form::Async:
            h = spawn_invalidation_listener_async(std::move(b), [seen](InvalidationScope s, std::function<void()> done) {
                // Finish from another thread, later: the listener must wait.
                std::thread([seen, s = std::move(s), done = std::move(done)] {
                    std::this_thread::sleep_for(1ms);
                    seen->add(s);
                    done();
                }).detach();
            });
            break;
    }
    EXPECT_TRUE(h.has_value());
    return h ? *h : TaskHandle();
}

const char* form_name(Form f) {
    return f == Form::Inline ? "inline" : f == Form::Blocking ? "blocking" : "async";
}

}  // namespace

TEST(InMemoryBroadcaster, SubscriberCountFollowsReceivers) {
    auto b = InMemoryInvalidationBroadcaster::create();
    EXPECT_EQ(b->capacity(), 1024u);
    EXPECT_EQ(b->subscriber_count(), 0u);
    {
        auto rx = b->subscribe();
        EXPECT_EQ(b->subscriber_count(), 1u);
    }
    EXPECT_EQ(b->subscriber_count(), 0u);
    EXPECT_EQ(InMemoryInvalidationBroadcaster::with_capacity(7)->capacity(), 7u);
}

TEST(InMemoryBroadcaster, PublishWithoutSubscriberSucceedsAndIsLost) {
    auto b = InMemoryInvalidationBroadcaster::create();
    EXPECT_TRUE(b->publish(scope_n(1)).has_value());
    auto rx = b->subscribe();
    EXPECT_EQ(rx.try_recv().error(), BroadcastRecvError::empty());
    EXPECT_TRUE(b->publish(scope_n(2)).has_value());
    auto got = rx.try_recv();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, scope_n(2));
}

TEST(InMemoryBroadcaster, EverySubscriberGetsEachScope) {
    auto b = InMemoryInvalidationBroadcaster::create();
    auto a = b->subscribe();
    auto c = b->subscribe();
    ASSERT_TRUE(b->publish(scope_n(1)));
    EXPECT_EQ(*a.try_recv(), scope_n(1));
    EXPECT_EQ(*c.try_recv(), scope_n(1));
}

// A listener runs its handler once per scope, in publication order, for every
// handler form; scopes published before it was spawned never reach it.
TEST(InvalidationListener, HandlesScopesInOrderInEveryForm) {
    for (Form form : {Form::Inline, Form::Blocking, Form::Async}) {
        SCOPED_TRACE(form_name(form));
        auto b = InMemoryInvalidationBroadcaster::create();
        ASSERT_TRUE(b->publish(scope_n(0)));  // before the listener: lost
        auto seen = std::make_shared<Seen>();
        auto h = listen(b, seen, form);
        EXPECT_EQ(b->subscriber_count(), 1u);  // subscribed before spawn returned
        for (int i = 1; i <= 3; ++i) ASSERT_TRUE(b->publish(scope_n(i)));
        ASSERT_TRUE(seen->wait_for_count(3));
        b.reset();  // last holder gone: the listener drains and ends
        ASSERT_TRUE(*h.wait_for(30s));
        EXPECT_EQ(seen->names(), names_from(1, 4));
    }
}

TEST(InvalidationListener, EndsWhenTheLastHolderGoesAfterDrainingAndLogsClosed) {
    auto sink = std::make_shared<lg::CapturingSink>();
    lg::ScopedSink scoped(sink);
    auto b = InMemoryInvalidationBroadcaster::create();
    auto seen = std::make_shared<Seen>();
    // The first scope's handler waits for the test, so the rest queue up.
    std::mutex gate_mu;
    std::condition_variable gate_cv;
    bool open = false;
    auto h = spawn_invalidation_listener(
        b,
        [&, seen](InvalidationScope s) {
            std::unique_lock lock(gate_mu);
            gate_cv.wait(lock, [&] { return open; });
            seen->add(s);
        },
        HandlerMode::Blocking);
    ASSERT_TRUE(h);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(b->publish(scope_n(i)));
    b.reset();
    EXPECT_FALSE(h->is_finished());
    {
        std::lock_guard lock(gate_mu);
        open = true;
    }
    gate_cv.notify_all();
    ASSERT_TRUE(*h->wait_for(30s));
    EXPECT_TRUE(h->is_finished());
    EXPECT_EQ(seen->names(), names_from(0, 5));
    auto closed = sink->find("invalidation listener: channel closed, exiting", "ostrel_core::invalidation");
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].level, lg::Level::Debug);
}

// While the handler is held on one scope, 1025 more are published into a
// channel of 1024: once released, the listener logs one lag warning with
// dropped = 1 and handles the 1024 newest in order.
TEST(InvalidationListener, SlowHandlerLagsByTheOverflowAndKeepsTheNewest) {
    auto sink = std::make_shared<lg::CapturingSink>();
    lg::ScopedSink scoped(sink);
    auto b = InMemoryInvalidationBroadcaster::create();
    auto seen = std::make_shared<Seen>();
    std::mutex mu;
    std::condition_variable cv;
    std::function<void()> held_done;
    auto h = spawn_invalidation_listener_async(b, [&, seen](InvalidationScope s, std::function<void()> done) {
        seen->add(s);
        if (s.target.name() == "p-0") {
            std::lock_guard lock(mu);
            held_done = std::move(done);
            cv.notify_all();
        } else {
            done();
        }
    });
    ASSERT_TRUE(h);
    ASSERT_TRUE(b->publish(scope_n(0)));
    {
        std::unique_lock lock(mu);
        ASSERT_TRUE(cv.wait_for(lock, 30s, [&] { return held_done != nullptr; }));
    }
    for (int i = 1; i <= 1025; ++i) ASSERT_TRUE(b->publish(scope_n(i)));
    held_done();
    ASSERT_TRUE(seen->wait_for_count(1 + 1024));
    b.reset();
    ASSERT_TRUE(*h->wait_for(30s));

    std::vector<std::string> expected{"p-0"};
    for (auto& n : names_from(2, 1026)) expected.push_back(n);
    EXPECT_EQ(seen->names(), expected);
    auto lags = sink->find("invalidation listener lagged, messages dropped", "ostrel_core::invalidation");
    ASSERT_EQ(lags.size(), 1u);
    EXPECT_EQ(lags[0].level, lg::Level::Warn);
    EXPECT_EQ(lags[0].field("dropped"), "1");
}

TEST(InvalidationListener, AbortIsIdempotentAndStopsTheHandler) {
    auto b = InMemoryInvalidationBroadcaster::create();
    auto seen = std::make_shared<Seen>();
    auto h = listen(b, seen, Form::Inline);
    ASSERT_TRUE(b->publish(scope_n(1)));
    ASSERT_TRUE(seen->wait_for_count(1));
    h.abort();
    h.abort();
    ASSERT_TRUE(*h.wait_for(30s));
    EXPECT_TRUE(h.is_finished());
    EXPECT_EQ(b->subscriber_count(), 0u);  // the receiver went with the task
    ASSERT_TRUE(b->publish(scope_n(2)));
    EXPECT_EQ(seen->names(), names_from(1, 2));
}

// Abort while scopes are queued and the handler is busy: once abort() has
// returned, no further scope is handled.
TEST(InvalidationListener, AbortWithQueuedScopesHandlesNoMore) {
    auto b = InMemoryInvalidationBroadcaster::create();
    // Shared with the handler, which may still be running on its pool thread
    // when the aborted task has already ended.
    struct State {
        std::atomic<int> calls{0};
        std::atomic<bool> in_first{false};
        std::atomic<bool> release{false};
    };
    auto st = std::make_shared<State>();
    auto h = spawn_invalidation_listener(
        b,
        [st](InvalidationScope) {
            ++st->calls;
            st->in_first = true;
            while (!st->release.load()) std::this_thread::sleep_for(1ms);
        },
        HandlerMode::Blocking);
    ASSERT_TRUE(h);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(b->publish(scope_n(i)));
    while (!st->in_first.load()) std::this_thread::yield();
    h->abort();
    // The aborted listener stops waiting for its busy handler.
    ASSERT_TRUE(*h->wait_for(30s));
    st->release = true;
    EXPECT_EQ(st->calls.load(), 1);
}

TEST(InvalidationListener, NoopBroadcasterNeverCallsTheHandler) {
    auto b = NoopInvalidationBroadcaster::create();
    auto seen = std::make_shared<Seen>();
    auto h = listen(b, seen, Form::Inline);
    ASSERT_TRUE(b->publish(scope_n(1)));
    EXPECT_FALSE(seen->wait_for_count(1, 0s));
    EXPECT_FALSE(h.is_finished());
    b.reset();  // the idle channel closes with the broadcaster
    ASSERT_TRUE(*h.wait_for(30s));
    EXPECT_TRUE(seen->names().empty());
}

// A thousand listeners share the runtime's few worker threads: each sees
// every scope, and all end once the broadcaster goes.
TEST(InvalidationListener, AThousandListenersOnOneBroadcaster) {
    constexpr int kListeners = 1000;
    constexpr int kScopes = 5;
    auto b = InMemoryInvalidationBroadcaster::create();
    std::vector<std::shared_ptr<Seen>> seens;
    std::vector<TaskHandle> handles;
    for (int i = 0; i < kListeners; ++i) {
        seens.push_back(std::make_shared<Seen>());
        handles.push_back(listen(b, seens.back(), Form::Inline));
    }
    EXPECT_EQ(b->subscriber_count(), static_cast<std::size_t>(kListeners));
    for (int i = 0; i < kScopes; ++i) ASSERT_TRUE(b->publish(scope_n(i)));
    b.reset();
    for (auto& h : handles) ASSERT_TRUE(*h.wait_for(60s));
    for (auto& s : seens) ASSERT_EQ(s->names(), names_from(0, kScopes));
    auto rt = try_runtime();
    ASSERT_TRUE(rt);
    EXPECT_LE((*rt)->worker_count(), std::max(1u, std::thread::hardware_concurrency()));
}

TEST(InvalidationListener, ThrowingHandlerIsLoggedAndTheListenerGoesOn) {
    auto sink = std::make_shared<lg::CapturingSink>();
    lg::ScopedSink scoped(sink);
    auto b = InMemoryInvalidationBroadcaster::create();
    auto seen = std::make_shared<Seen>();
    auto h = spawn_invalidation_listener(b, [seen](InvalidationScope s) {
        seen->add(s);
        if (s.target.name() == "p-1") throw std::runtime_error("handler broke");
    });
    ASSERT_TRUE(h);
    for (int i = 1; i <= 3; ++i) ASSERT_TRUE(b->publish(scope_n(i)));
    ASSERT_TRUE(seen->wait_for_count(3));
    b.reset();
    ASSERT_TRUE(*h->wait_for(30s));
    EXPECT_EQ(seen->names(), names_from(1, 4));
    auto failed = sink->find("invalidation handler failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].field("error"), "handler broke");
}
