// Redis backends against a real server (OSTREL_TEST_REDIS_URL; skipped when
// unset). Tests that stop and restart a server run their own throwaway one.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/invalidation_listener.hpp"
#include "redis/broadcaster.hpp"
#include "redis/rate_limit.hpp"
#include "redis/session_store.hpp"
#include "redis_test_support.hpp"
#include "runtime/runtime.hpp"
#include "util/log.hpp"

using namespace ostrel_redis;
using namespace ostrel_core;
using namespace redis_test;
namespace lg = ostrel_util::log;

namespace {

SessionState sample_session(std::uint64_t count) {
    SessionState s = SessionState::create();
    s.action_count = count;
    s.action_history = {"read", "write"};
    return s;
}

InvalidationScope scope_for(const std::string& name) {
    return InvalidationScope{InvalidationTarget::principal(name), "test reason", "test"};
}

// Collects the scopes a listener handled.
class Inbox {
public:
    void add(const InvalidationScope& s) {
        {
            std::lock_guard lock(mu_);
            names_.push_back(s.target.name());
        }
        cv_.notify_all();
    }
    bool wait_for(const std::string& name, std::chrono::milliseconds limit = 20s) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, limit, [&] { return count_locked(name) > 0; });
    }
    std::size_t count(const std::string& name) const {
        std::lock_guard lock(mu_);
        return count_locked(name);
    }
    std::vector<std::string> names() const {
        std::lock_guard lock(mu_);
        return names_;
    }

private:
    std::size_t count_locked(const std::string& name) const {
        return static_cast<std::size_t>(std::count(names_.begin(), names_.end(), name));
    }
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> names_;
};

TaskHandle listen_into(std::shared_ptr<InvalidationBroadcaster> b, std::shared_ptr<Inbox> inbox) {
    auto h = spawn_invalidation_listener(std::move(b), [inbox](InvalidationScope s) { inbox->add(s); });
    EXPECT_TRUE(h.has_value());
    return h ? *h : TaskHandle();
}

// Publishes fresh scopes until one reaches `inbox` (a bridge subscribes
// asynchronously, so the first publishes may find nobody subscribed).
bool publish_until_heard(RedisInvalidationBroadcaster& b, Inbox& inbox, const std::string& prefix,
                         std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
        const std::string name = prefix + std::to_string(i);
        if (!b.publish(scope_for(name))) {
            std::this_thread::sleep_for(100ms);
            continue;
        }
        if (inbox.wait_for(name, 200ms)) return true;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------- sessions

TEST(RedisSessionStore, RoundTripAndMissingIds) {
    REQUIRE_REDIS_URL(url);
    auto store = RedisSessionStore::from_url(url);
    ASSERT_TRUE(store) << store.error().display();
    EXPECT_EQ((*store)->ttl_secs(), 86400u);
    const std::string id = unique("sess-");
    auto missing = (*store)->get(id);
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->has_value());

    const SessionState first = sample_session(1);
    const SessionState second = sample_session(2);
    ASSERT_TRUE((*store)->put(id, first));
    ASSERT_TRUE((*store)->put(id, second));
    auto got = (*store)->get(id);
    ASSERT_TRUE(got) << got.error().display();
    ASSERT_TRUE(got->has_value());
    EXPECT_EQ(**got, second);

    // Stored as compact JSON under the documented key, with the TTL set.
    auto conn = admin(url);
    ASSERT_TRUE(conn);
    auto raw = conn->command({"GET", "ostrel:session:" + id});
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->str, second.to_json());
    auto ttl = conn->command({"TTL", "ostrel:session:" + id});
    ASSERT_TRUE(ttl);
    EXPECT_GT(ttl->integer, 86000);
    EXPECT_LE(ttl->integer, 86400);
}

TEST(RedisSessionStore, TwoStoresSeeEachOthersWrites) {
    REQUIRE_REDIS_URL(url);
    auto a = RedisSessionStore::from_url(url);
    auto b = RedisSessionStore::from_url(url);
    ASSERT_TRUE(a && b);
    const std::string id = unique("shared-");
    SessionState s = sample_session(7);
    s.invalidated = true;
    ASSERT_TRUE((*a)->put(id, s));
    auto got = (*b)->get(id);
    ASSERT_TRUE(got && got->has_value());
    EXPECT_TRUE((*got)->invalidated);
    EXPECT_EQ(**got, s);
}

TEST(RedisSessionStore, RecordsExpireAfterTheirTtl) {
    REQUIRE_REDIS_URL(url);
    auto store = RedisSessionStore::from_url_with_ttl(url, 1);
    ASSERT_TRUE(store);
    const std::string id = unique("ttl-");
    ASSERT_TRUE((*store)->put(id, sample_session(1)));
    ASSERT_TRUE(eventually(
        [&] {
            auto got = (*store)->get(id);
            return got && !got->has_value();
        },
        10s));
}

TEST(RedisSessionStore, UndecodableValueIsCorrupt) {
    REQUIRE_REDIS_URL(url);
    auto store = RedisSessionStore::from_url(url);
    ASSERT_TRUE(store);
    const std::string id = unique("junk-");
    auto conn = admin(url);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(conn->command({"SET", "ostrel:session:" + id, "{\"not\":\"a session\"}"}));
    auto got = (*store)->get(id);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind(), SessionStoreError::Kind::Corrupt);
    EXPECT_TRUE(got.error().display().starts_with("session store corruption: session decode failed: "))
        << got.error().display();
    // A key of the wrong type is a server error reply: Backend.
    const std::string id2 = unique("wrongtype-");
    ASSERT_TRUE(conn->command({"LPUSH", "ostrel:session:" + id2, "x"}));
    auto wrong = (*store)->get(id2);
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().kind(), SessionStoreError::Kind::Backend);
    EXPECT_NE(wrong.error().display().find("WRONGTYPE"), std::string::npos);
}

// -------------------------------------------------------------- rate limits

TEST(RedisRateLimitStore, WindowBoundsAndSameSecondEvents) {
    REQUIRE_REDIS_URL(url);
    auto store = RedisRateLimitStore::from_url(url);
    ASSERT_TRUE(store) << store.error().display();
    const std::string k = unique("rl-");
    auto count = [&](std::int64_t now, std::int64_t window) {
        auto c = (*store)->count_in_window(k, now, window);
        EXPECT_TRUE(c) << c.error().display();
        return c ? *c : 999;
    };
    EXPECT_EQ(count(1000, 60), 0u);  // never recorded
    ASSERT_TRUE((*store)->record(k, 1000));
    struct Case {
        std::int64_t now, window;
        std::uint64_t expected;
    };
    for (const Case& c : {Case{1000, 60, 1}, Case{1060, 60, 0}, Case{1059, 60, 1}, Case{1000, 0, 0},
                          Case{999, 60, 0}, Case{1000, -5, 0}}) {
        SCOPED_TRACE(std::to_string(c.now) + "/" + std::to_string(c.window));
        EXPECT_EQ(count(c.now, c.window), c.expected);
    }
    ASSERT_TRUE((*store)->record(k, 1000));  // same second: a second event
    EXPECT_EQ(count(1000, 60), 2u);

    auto conn = admin(url);
    ASSERT_TRUE(conn);
    auto ttl = conn->command({"TTL", "ostrel:rl:" + k});
    ASSERT_TRUE(ttl);
    EXPECT_GT(ttl->integer, 86000);
    auto members = conn->command({"ZRANGE", "ostrel:rl:" + k, "0", "-1"});
    ASSERT_TRUE(members);
    ASSERT_EQ(members->elements.size(), 2u);
    for (const auto& m : members->elements) {
        ASSERT_TRUE(m.str.starts_with("1000:"));
        EXPECT_TRUE(ostrel_util::Uuid::parse(m.str.substr(5)).has_value()) << m.str;
    }
}

TEST(RedisRateLimitStore, RecordPrunesTheRetentionBoundary) {
    REQUIRE_REDIS_URL(url);
    auto store = RedisRateLimitStore::from_url(url);
    ASSERT_TRUE(store);
    const std::string k = unique("prune-");
    const std::int64_t T = 1'700'000'000;
    ASSERT_TRUE((*store)->record(k, T - 86400));
    ASSERT_TRUE((*store)->record(k, T - 86399));
    ASSERT_TRUE((*store)->record(k, T));
    auto all = (*store)->count_in_window(k, T, 200000);
    ASSERT_TRUE(all);
    EXPECT_EQ(*all, 2u);  // T - 86400 went, T - 86399 stayed
}

// Two store instances stand for two replicas: each counts the other's events.
TEST(RedisRateLimitStore, CountsAreSharedAcrossReplicas) {
    REQUIRE_REDIS_URL(url);
    auto a = RedisRateLimitStore::from_url(url);
    auto b = RedisRateLimitStore::from_url(url);
    ASSERT_TRUE(a && b);
    const std::string k = unique("replicas-");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE((*a)->record(k, 5000));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE((*b)->record(k, 5001));
    EXPECT_EQ(*(*a)->count_in_window(k, 5001, 10), 5u);
    EXPECT_EQ(*(*b)->count_in_window(k, 5001, 1), 2u);
}

TEST(RedisRateLimitStore, ErrorReplyInsideTheTransactionIsBackend) {
    REQUIRE_REDIS_URL(url);
    auto store = RedisRateLimitStore::from_url(url);
    ASSERT_TRUE(store);
    const std::string k = unique("wrong-");
    auto conn = admin(url);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(conn->command({"SET", "ostrel:rl:" + k, "not a set"}));
    auto r = (*store)->record(k, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), RateLimitStoreError::Kind::Backend);
    EXPECT_NE(r.error().display().find("WRONGTYPE"), std::string::npos) << r.error().display();
    auto c = (*store)->count_in_window(k, 1, 10);
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().kind(), RateLimitStoreError::Kind::Backend);
}

// Many threads share one managed connection: every operation gets its own
// replies, and nothing is lost.
TEST(RedisConnection, ConcurrentOperationsFromManyThreads) {
    REQUIRE_REDIS_URL(url);
    auto rl = RedisRateLimitStore::from_url(url);
    auto sessions = RedisSessionStore::from_url(url);
    ASSERT_TRUE(rl && sessions);
    constexpr int kThreads = 8;
    constexpr int kOps = 150;
    const std::string k = unique("conc-");
    std::atomic<int> failures{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&, t] {
            const std::string sid = k + "-s" + std::to_string(t);
            for (int i = 0; i < kOps; ++i) {
                if (!(*rl)->record(k, 100)) ++failures;
                SessionState s = sample_session(static_cast<std::uint64_t>(t * 1000 + i));
                if (!(*sessions)->put(sid, s)) ++failures;
                auto got = (*sessions)->get(sid);
                // Each thread reads back exactly what it wrote last.
                if (!got || !got->has_value() || (*got)->action_count != s.action_count) ++failures;
            }
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(failures.load(), 0);
    auto total = (*rl)->count_in_window(k, 100, 10);
    ASSERT_TRUE(total);
    EXPECT_EQ(*total, static_cast<std::uint64_t>(kThreads * kOps));
}

TEST(RedisConnection, PipelinedErrorRepliesStayWithTheirCommand) {
    REQUIRE_REDIS_URL(url);
    auto conn = admin(url);
    ASSERT_TRUE(conn);
    const std::string k = unique("pipe-");
    auto replies = conn->pipeline({{"SET", k, "v"}, {"NOSUCHCOMMAND"}, {"GET", k}});
    ASSERT_TRUE(replies);
    ASSERT_EQ(replies->size(), 3u);
    EXPECT_EQ((*replies)[0].type, RedisReply::Type::Status);
    EXPECT_TRUE((*replies)[1].is_error());
    EXPECT_EQ((*replies)[2].str, "v");
    auto single = conn->command({"NOSUCHCOMMAND"});
    ASSERT_FALSE(single);
    EXPECT_NE(single.error().message.find("unknown command"), std::string::npos) << single.error().message;
}

// A server killing our connection: operations fail until the managed
// connection has reconnected by itself, then work again. Only this test's
// own connection is killed, so tests running beside it are not disturbed.
TEST(RedisConnection, ReconnectsAfterClientKill) {
    REQUIRE_REDIS_URL(url);
    auto conn = admin(url);
    auto killer = admin(url);
    ASSERT_TRUE(conn && killer);
    EXPECT_EQ(conn->connects(), 1u);
    auto id = conn->command({"CLIENT", "ID"});
    ASSERT_TRUE(id) << id.error().message;
    auto killed = killer->command({"CLIENT", "KILL", "ID", std::to_string(id->integer)});
    ASSERT_TRUE(killed) << killed.error().message;
    EXPECT_EQ(killed->integer, 1);
    ASSERT_TRUE(eventually([&] { return conn->connects() >= 2 && conn->command({"PING"}).has_value(); }));
    auto new_id = conn->command({"CLIENT", "ID"});
    ASSERT_TRUE(new_id);
    EXPECT_NE(new_id->integer, id->integer);
}

// With the server gone, operations fail at once with Backend (no hang); after
// it comes back on the same port, the same store works again.
TEST(RedisConnection, FailsFastWhileDownAndRecoversAfterRestart) {
    REQUIRE_REDIS_URL(unused);
    if (!LocalRedis::available()) GTEST_SKIP() << "redis-server is not installed";
    LocalRedis server;
    ASSERT_TRUE(server.start());
    auto sessions = RedisSessionStore::from_url(server.url());
    auto rl = RedisRateLimitStore::from_url(server.url());
    ASSERT_TRUE(sessions && rl);
    ASSERT_TRUE((*rl)->record("k", 1));

    server.stop();
    ASSERT_TRUE(eventually([&] { return !(*rl)->connection().is_connected(); }));
    for (int i = 0; i < 3; ++i) {
        auto r = (*rl)->record("k", 2);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), RateLimitStoreError::Kind::Backend);
        EXPECT_TRUE(r.error().display().starts_with("rate-limit backend unavailable: redis connection is down: "))
            << r.error().display();
        auto g = (*sessions)->get("x");
        ASSERT_FALSE(g);
        EXPECT_EQ(g.error().kind(), SessionStoreError::Kind::Backend);
    }

    ASSERT_TRUE(server.start());
    ASSERT_TRUE(eventually([&] { return (*rl)->record("k", 3).has_value(); }));
    ASSERT_TRUE(eventually([&] { return (*sessions)->put("x", sample_session(1)).has_value(); }));
}

// A peer that accepts TCP connections but never speaks: construction gives up
// after the 5-second limit with the documented text, in every constructor.
TEST(RedisConnection, ConnectTimesOutAgainstASilentPeer) {
    REQUIRE_REDIS_URL(unused);
    SilentListener silent;
    auto s = RedisSessionStore::from_url(silent.url());
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().display(), "session backend unavailable: redis connect timed out after 5s");
    auto r = RedisRateLimitStore::from_url(silent.url());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "rate-limit backend unavailable: redis connect timed out after 5s");
    auto b = RedisInvalidationBroadcaster::from_url(silent.url(), "c");
    ASSERT_FALSE(b);
    EXPECT_EQ(b.error().kind(), RedisBroadcasterError::Kind::Connection);
    EXPECT_EQ(b.error().display(), "redis connection manager: redis connect timed out after 5s");
}

// ------------------------------------------------------------- broadcaster

// A scope published on one broadcaster reaches a listener of another one on
// the same channel, and a listener of the publisher itself, each once.
TEST(RedisInvalidationBroadcaster, ReachesListenersOfEveryReplicaOnce) {
    REQUIRE_REDIS_URL(url);
    const std::string channel = unique("chan-");
    auto a = RedisInvalidationBroadcaster::from_url(url, channel);
    auto b = RedisInvalidationBroadcaster::from_url(url, channel);
    ASSERT_TRUE(a && b) << (a ? "" : a.error().display()) << (b ? "" : b.error().display());
    auto inbox_a = std::make_shared<Inbox>();
    auto inbox_b = std::make_shared<Inbox>();
    auto ha = listen_into(*a, inbox_a);
    auto hb = listen_into(*b, inbox_b);
    // Wait until both bridges are subscribed.
    ASSERT_TRUE(publish_until_heard(**a, *inbox_b, "warmup-b-"));
    ASSERT_TRUE(publish_until_heard(**b, *inbox_a, "warmup-a-"));

    ASSERT_TRUE((*a)->publish(scope_for("the-one")));
    ASSERT_TRUE(inbox_a->wait_for("the-one"));
    ASSERT_TRUE(inbox_b->wait_for("the-one"));
    // A marker published after it proves nothing more of it is in flight.
    ASSERT_TRUE((*a)->publish(scope_for("marker")));
    ASSERT_TRUE(inbox_a->wait_for("marker"));
    ASSERT_TRUE(inbox_b->wait_for("marker"));
    EXPECT_EQ(inbox_a->count("the-one"), 1u);
    EXPECT_EQ(inbox_b->count("the-one"), 1u);
    ha.abort();
    hb.abort();
}

TEST(RedisInvalidationBroadcaster, DifferentChannelsDoNotMix) {
    REQUIRE_REDIS_URL(url);
    auto a = RedisInvalidationBroadcaster::from_url(url, unique("left-"));
    auto b = RedisInvalidationBroadcaster::from_url(url, unique("right-"));
    ASSERT_TRUE(a && b);
    auto inbox_a = std::make_shared<Inbox>();
    auto inbox_b = std::make_shared<Inbox>();
    auto ha = listen_into(*a, inbox_a);
    auto hb = listen_into(*b, inbox_b);
    ASSERT_TRUE(publish_until_heard(**a, *inbox_a, "a-"));
    ASSERT_TRUE(publish_until_heard(**b, *inbox_b, "b-"));
    for (const auto& n : inbox_a->names()) EXPECT_TRUE(n.starts_with("a-")) << n;
    for (const auto& n : inbox_b->names()) EXPECT_TRUE(n.starts_with("b-")) << n;
    ha.abort();
    hb.abort();
}

TEST(RedisInvalidationBroadcaster, BadMessagesAreSkippedWithAWarning) {
    REQUIRE_REDIS_URL(url);
    auto sink = std::make_shared<lg::CapturingSink>();
    lg::ScopedSink scoped(sink);
    const std::string channel = unique("bad-");
    auto b = RedisInvalidationBroadcaster::from_url(url, channel);
    ASSERT_TRUE(b);
    auto inbox = std::make_shared<Inbox>();
    auto h = listen_into(*b, inbox);
    ASSERT_TRUE(publish_until_heard(**b, *inbox, "ready-"));
    auto conn = admin(url);
    ASSERT_TRUE(conn);
    ASSERT_TRUE(conn->command({"PUBLISH", channel, "this is not json"}));
    ASSERT_TRUE(conn->command({"PUBLISH", channel, std::string("\xff\xfe", 2)}));
    ASSERT_TRUE((*b)->publish(scope_for("after-bad")));
    ASSERT_TRUE(inbox->wait_for("after-bad"));
    auto decode = sink->find("redis pubsub: invalidation scope decode failed", "ostrel_redis::broadcaster");
    ASSERT_EQ(decode.size(), 1u);
    EXPECT_EQ(decode[0].level, lg::Level::Warn);
    EXPECT_TRUE(decode[0].has_field("error"));
    auto bad_type = sink->find("redis pubsub: bad payload type", "ostrel_redis::broadcaster");
    ASSERT_EQ(bad_type.size(), 1u);
    h.abort();
}

TEST(RedisInvalidationBroadcaster, ReleasingTheLastHolderEndsListeners) {
    REQUIRE_REDIS_URL(url);
    auto b = RedisInvalidationBroadcaster::from_url(url, unique("drop-"));
    ASSERT_TRUE(b);
    auto inbox = std::make_shared<Inbox>();
    auto h = listen_into(*b, inbox);
    ASSERT_TRUE(publish_until_heard(**b, *inbox, "x-"));
    auto bridge = (*b)->bridge();
    b->reset();
    ASSERT_TRUE(*bridge.wait_for(20s));
    ASSERT_TRUE(*h.wait_for(20s));
    EXPECT_TRUE(h.is_finished());
}

// After the server restarts, the bridge subscribes again (2 s after its
// session ended) and scopes flow once more; publish fails while it is down.
TEST(RedisInvalidationBroadcaster, ResubscribesAfterServerRestart) {
    REQUIRE_REDIS_URL(unused);
    if (!LocalRedis::available()) GTEST_SKIP() << "redis-server is not installed";
    auto sink = std::make_shared<lg::CapturingSink>();
    lg::ScopedSink scoped(sink);
    LocalRedis server;
    ASSERT_TRUE(server.start());
    auto b = RedisInvalidationBroadcaster::from_url(server.url(), "restart");
    ASSERT_TRUE(b);
    auto inbox = std::make_shared<Inbox>();
    auto h = listen_into(*b, inbox);
    ASSERT_TRUE(publish_until_heard(**b, *inbox, "before-"));

    server.stop();
    ASSERT_TRUE(eventually([&] {
        auto r = (*b)->publish(scope_for("while-down"));
        return !r && r.error().kind() == BroadcastError::Kind::Backend;
    }));
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(publish_until_heard(**b, *inbox, "after-", 30s));
    EXPECT_EQ(inbox->count("while-down"), 0u);
    EXPECT_FALSE(h.is_finished());
    h.abort();
}
