#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/broadcast_channel.hpp"

using ostrel_core::BroadcastChannel;
using ostrel_core::BroadcastRecvError;
using Kind = ostrel_core::BroadcastRecvError::Kind;

namespace {

using Chan = BroadcastChannel<int>;

// Drains everything currently held, recording values and lag counts in order.
struct Drained {
    std::vector<int> values;
    std::vector<std::uint64_t> lags;
    bool closed = false;
};

Drained drain(Chan::Receiver& rx) {
    Drained d;
    for (;;) {
        auto r = rx.try_recv();
        if (r) {
            d.values.push_back(*r);
            continue;
        }
        if (r.error().kind == Kind::Lagged) {
            d.lags.push_back(r.error().dropped);
            continue;
        }
        d.closed = r.error().kind == Kind::Closed;
        return d;
    }
}

std::vector<int> iota_vec(int from, int to) {
    std::vector<int> v;
    for (int i = from; i < to; ++i) v.push_back(i);
    return v;
}

}  // namespace

TEST(BroadcastChannel, ReceiverSeesOnlyValuesSentAfterSubscribing) {
    auto [tx, first] = Chan::create(8);
    tx.send(1);
    auto late = tx.subscribe();
    tx.send(2);
    tx.send(3);
    EXPECT_EQ(drain(first).values, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(drain(late).values, (std::vector<int>{2, 3}));
}

TEST(BroadcastChannel, SendWithoutReceiversIsDroppedAndReportsZero) {
    auto [tx, rx] = Chan::create(4);
    { auto gone = std::move(rx); }
    EXPECT_EQ(tx.receiver_count(), 0u);
    EXPECT_EQ(tx.send(7), 0u);
    auto fresh = tx.subscribe();
    EXPECT_EQ(fresh.try_recv().error(), BroadcastRecvError::empty());
    EXPECT_EQ(tx.send(8), 1u);
    EXPECT_EQ(*fresh.try_recv(), 8);
}

TEST(BroadcastChannel, ReceiverCountFollowsLifetimes) {
    auto [tx, rx] = Chan::create(2);
    EXPECT_EQ(tx.receiver_count(), 1u);
    {
        auto a = tx.subscribe();
        auto b = tx.subscribe();
        EXPECT_EQ(tx.receiver_count(), 3u);
        auto moved = std::move(a);
        EXPECT_EQ(tx.receiver_count(), 3u);
    }
    EXPECT_EQ(tx.receiver_count(), 1u);
}

// Lag: a receiver that fell more than capacity behind learns the exact count
// and then continues with the oldest value still held, in order.
TEST(BroadcastChannel, LagReportsDroppedCountThenOldestHeld) {
    struct Case {
        std::size_t capacity;
        int sent;
        std::uint64_t dropped;  // 0 = no lag expected
    };
    const Case cases[] = {
        {4, 4, 0}, {4, 5, 1}, {4, 11, 7}, {1, 1, 0}, {1, 3, 2}, {1024, 1025, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("capacity " + std::to_string(c.capacity) + " sent " + std::to_string(c.sent));
        auto [tx, rx] = Chan::create(c.capacity);
        for (int i = 0; i < c.sent; ++i) tx.send(i);
        auto d = drain(rx);
        if (c.dropped == 0) {
            EXPECT_TRUE(d.lags.empty());
        } else {
            EXPECT_EQ(d.lags, std::vector<std::uint64_t>{c.dropped});
        }
        EXPECT_EQ(d.values, iota_vec(static_cast<int>(c.dropped), c.sent));
        EXPECT_FALSE(d.closed);
    }
}

TEST(BroadcastChannel, LagIsPerReceiver) {
    auto [tx, slow] = Chan::create(2);
    auto fast = tx.subscribe();
    for (int i = 0; i < 6; ++i) {
        tx.send(i);
        ASSERT_EQ(*fast.try_recv(), i);
    }
    auto d = drain(slow);
    EXPECT_EQ(d.lags, std::vector<std::uint64_t>{4});
    EXPECT_EQ(d.values, (std::vector<int>{4, 5}));
    EXPECT_TRUE(drain(fast).values.empty());
}

TEST(BroadcastChannel, ClosedOnlyAfterLastSenderAndDrain) {
    auto [tx, rx] = Chan::create(4);
    auto tx2 = tx;
    tx.send(1);
    { auto gone = std::move(tx); }
    EXPECT_EQ(*rx.try_recv(), 1);
    EXPECT_EQ(rx.try_recv().error(), BroadcastRecvError::empty());  // tx2 still alive
    tx2.send(2);
    { auto gone = std::move(tx2); }
    EXPECT_EQ(*rx.try_recv(), 2);  // held values drain first
    EXPECT_EQ(rx.try_recv().error(), BroadcastRecvError::closed());
    EXPECT_EQ(rx.recv().error(), BroadcastRecvError::closed());  // and stays closed
}

TEST(BroadcastChannel, LaggedThenClosed) {
    auto [tx, rx] = Chan::create(2);
    for (int i = 0; i < 5; ++i) tx.send(i);
    { auto gone = std::move(tx); }
    auto d = drain(rx);
    EXPECT_EQ(d.lags, std::vector<std::uint64_t>{3});
    EXPECT_EQ(d.values, (std::vector<int>{3, 4}));
    EXPECT_TRUE(d.closed);
}

TEST(BroadcastChannel, BlockingRecvWakesOnSendAndOnClose) {
    auto [tx, rx] = Chan::create(4);
    std::thread sender([tx = std::move(tx)]() mutable {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        tx.send(42);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // tx goes out of scope here: the channel closes.
    });
    EXPECT_EQ(*rx.recv(), 42);
    EXPECT_EQ(rx.recv().error(), BroadcastRecvError::closed());
    sender.join();
}

TEST(BroadcastChannel, RecvForGivesUpWithEmpty) {
    auto [tx, rx] = Chan::create(4);
    EXPECT_EQ(rx.recv_for(std::chrono::milliseconds(5)).error(), BroadcastRecvError::empty());
    tx.send(5);
    EXPECT_EQ(*rx.recv_for(std::chrono::milliseconds(5)), 5);
}

TEST(BroadcastChannel, ArmRunsHookOnceOnSendAndRefusesWhenReady) {
    auto [tx, rx] = Chan::create(4);
    int calls = 0;
    ASSERT_TRUE(rx.arm([&] { ++calls; }));
    tx.send(1);
    tx.send(2);
    EXPECT_EQ(calls, 1);  // one-shot
    EXPECT_FALSE(rx.arm([&] { ++calls; }));  // values are waiting
    drain(rx);
    ASSERT_TRUE(rx.arm([&] { ++calls; }));
    rx.disarm();
    tx.send(3);
    EXPECT_EQ(calls, 1);  // disarmed hook is not run
}

TEST(BroadcastChannel, ArmedHookRunsWhenLastSenderGoes) {
    auto [tx, rx] = Chan::create(4);
    bool woke = false;
    ASSERT_TRUE(rx.arm([&] { woke = true; }));
    { auto gone = std::move(tx); }
    EXPECT_TRUE(woke);
    EXPECT_FALSE(rx.arm([] {}));  // closed counts as ready
}

// Values a receiver will never take are released: a value is freed once every
// receiver that could see it has taken it or gone away.
TEST(BroadcastChannel, ValuesAreReleasedWhenNoReceiverNeedsThem) {
    using PChan = BroadcastChannel<std::shared_ptr<int>>;
    auto [tx, a] = PChan::create(4);
    auto b = tx.subscribe();
    auto v = std::make_shared<int>(1);
    std::weak_ptr<int> weak = v;
    tx.send(std::move(v));
    EXPECT_FALSE(weak.expired());
    ASSERT_TRUE(a.try_recv());  // copy handed out; b still needs it
    EXPECT_FALSE(weak.expired());
    { auto gone = std::move(b); }
    EXPECT_TRUE(weak.expired());
}

TEST(BroadcastChannel, ZeroCapacityIsTakenAsOne) {
    auto [tx, rx] = Chan::create(0);
    EXPECT_EQ(tx.capacity(), 1u);
    tx.send(1);
    tx.send(2);
    auto d = drain(rx);
    EXPECT_EQ(d.lags, std::vector<std::uint64_t>{1});
    EXPECT_EQ(d.values, std::vector<int>{2});
}

// Real threads: several senders, several blocking receivers. Every receiver
// must see each sender's values in that sender's order, and the total it saw
// plus what it was told it missed equals everything sent.
TEST(BroadcastChannel, ConcurrentSendersAndReceivers) {
    constexpr int kSenders = 4;
    constexpr int kPerSender = 5000;
    constexpr int kReceivers = 4;
    auto [tx, first] = Chan::create(64);
    std::vector<Chan::Receiver> rxs;
    rxs.push_back(std::move(first));
    for (int i = 1; i < kReceivers; ++i) rxs.push_back(tx.subscribe());

    struct Seen {
        std::uint64_t values = 0;
        std::uint64_t dropped = 0;
        bool ordered = true;
        bool closed = false;
    };
    std::vector<Seen> seen(kReceivers);
    std::vector<std::thread> receivers;
    for (int r = 0; r < kReceivers; ++r) {
        receivers.emplace_back([&, r] {
            std::map<int, int> last;  // sender -> last sequence seen
            for (;;) {
                auto v = rxs[r].recv();
                if (!v) {
                    if (v.error().kind == Kind::Lagged) {
                        seen[r].dropped += v.error().dropped;
                        continue;
                    }
                    seen[r].closed = v.error().kind == Kind::Closed;
                    return;
                }
                const int sender = *v / kPerSender;
                const int seq = *v % kPerSender;
                auto it = last.find(sender);
                if (it != last.end() && it->second >= seq) seen[r].ordered = false;
                last[sender] = seq;
                ++seen[r].values;
            }
        });
    }
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([tx = tx, s] {
            for (int i = 0; i < kPerSender; ++i) tx.send(s * kPerSender + i);
        });
    }
    { auto gone = std::move(tx); }
    for (auto& t : senders) t.join();
    for (auto& t : receivers) t.join();
    for (int r = 0; r < kReceivers; ++r) {
        SCOPED_TRACE("receiver " + std::to_string(r));
        EXPECT_TRUE(seen[r].closed);
        EXPECT_TRUE(seen[r].ordered);
        EXPECT_EQ(seen[r].values + seen[r].dropped, std::uint64_t{kSenders} * kPerSender);
    }
}

// A receiver that keeps up (capacity larger than everything sent) loses
// nothing even with concurrent senders.
TEST(BroadcastChannel, ConcurrentSendersLoseNothingWithinCapacity) {
    constexpr int kSenders = 3;
    constexpr int kPerSender = 1000;
    auto [tx, rx] = Chan::create(kSenders * kPerSender);
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([tx = tx, s] {
            for (int i = 0; i < kPerSender; ++i) tx.send(s * kPerSender + i);
        });
    }
    { auto gone = std::move(tx); }
    std::vector<int> got;
    for (;;) {
        auto v = rx.recv();
        if (!v) {
            ASSERT_EQ(v.error().kind, Kind::Closed);
            break;
        }
        got.push_back(*v);
    }
    for (auto& t : senders) t.join();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, iota_vec(0, kSenders * kPerSender));
}
