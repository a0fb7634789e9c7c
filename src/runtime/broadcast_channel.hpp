// A bounded multi-producer, multi-consumer broadcast channel.
//
// Every receiver sees every value sent after it subscribed, in send order, as
// long as it keeps up. The channel holds at most `capacity` values: a send
// never waits, it overwrites the oldest value once the ring is full. A
// receiver that fell more than `capacity` values behind learns how many it
// missed (the lag condition) and continues from the oldest value still held.
// When every sender is gone and a receiver has drained what is left, its
// receive reports the closed condition.
//
// The channel knows nothing about any event loop. Blocking receives wait on a
// condition variable; asynchronous receivers register a one-shot wake-up hook
// (`Receiver::arm`) that a send or the last sender's departure calls outside
// the channel's lock. The coroutine adaptor lives in runtime/runtime_asio.hpp.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace ostrel_core {

// Why a receive returned no value.
struct BroadcastRecvError {
    enum class Kind {
        Lagged,  // the receiver missed `dropped` values; the next receive continues
        Closed,  // every sender is gone and nothing is left for this receiver
        Empty,   // nothing to take right now (try_recv, or a timed wait expired)
    };
    Kind kind;
    std::uint64_t dropped = 0;

    static BroadcastRecvError lagged(std::uint64_t n) { return {Kind::Lagged, n}; }
    static BroadcastRecvError closed() { return {Kind::Closed, 0}; }
    static BroadcastRecvError empty() { return {Kind::Empty, 0}; }
    bool operator==(const BroadcastRecvError&) const = default;
};

template <class T>
class BroadcastChannel {
    struct Slot {
        std::uint64_t pos = 0;     // sequence number of the value held
        std::size_t remaining = 0;  // receivers that still have to take it
        std::optional<T> value;
    };

    struct Shared {
        explicit Shared(std::size_t cap) : ring(cap) {}

        std::mutex mu;
        std::condition_variable cv;
        std::vector<Slot> ring;
        std::uint64_t tail = 0;  // sequence number the next send gets
        std::size_t senders = 0;
        std::size_t receivers = 0;
        std::uint64_t next_receiver_id = 0;
        std::vector<std::pair<std::uint64_t, std::function<void()>>> waiters;

        std::uint64_t oldest() const {
            return tail > ring.size() ? tail - ring.size() : 0;
        }

        // Wake every blocked and armed receiver. Called with `lock` held;
        // releases it before running the hooks.
        void wake_all(std::unique_lock<std::mutex>& lock) {
            auto hooks = std::move(waiters);
            waiters.clear();
            lock.unlock();
            cv.notify_all();
            for (auto& [id, hook] : hooks) hook();
        }
    };

public:
    class Receiver;

    // The sending end. Copies are further senders of the same channel.
    class Sender {
    public:
        using value_type = T;

        Sender() = default;
        Sender(const Sender& o) : shared_(o.shared_) {
            if (shared_) {
                std::lock_guard lock(shared_->mu);
                ++shared_->senders;
            }
        }
        Sender(Sender&& o) noexcept : shared_(std::move(o.shared_)) {}
        Sender& operator=(Sender o) noexcept {
            std::swap(shared_, o.shared_);
            return *this;
        }
        ~Sender() { release(); }

        // Stores `value` for every current receiver and wakes them. Never
        // waits. Returns how many receivers the value was stored for; 0 means
        // there was nobody to receive it and it was dropped.
        std::size_t send(T value) const {
            std::unique_lock lock(shared_->mu);
            const std::size_t n = shared_->receivers;
            if (n == 0) return 0;
            Slot& slot = shared_->ring[shared_->tail % shared_->ring.size()];
            slot.pos = shared_->tail;
            slot.remaining = n;
            slot.value.emplace(std::move(value));
            ++shared_->tail;
            shared_->wake_all(lock);
            return n;
        }

        // A new receiver that sees every value sent after this call.
        Receiver subscribe() const { return Receiver(shared_); }

        // The number of live receivers.
        std::size_t receiver_count() const {
            std::lock_guard lock(shared_->mu);
            return shared_->receivers;
        }

        std::size_t capacity() const { return shared_->ring.size(); }

        explicit operator bool() const noexcept { return shared_ != nullptr; }

    private:
        friend class BroadcastChannel;
        explicit Sender(std::shared_ptr<Shared> s) : shared_(std::move(s)) { ++shared_->senders; }

        void release() noexcept {
            if (!shared_) return;
            std::unique_lock lock(shared_->mu);
            if (--shared_->senders == 0) {
                shared_->wake_all(lock);
            } else {
                lock.unlock();
            }
            shared_.reset();
        }

        std::shared_ptr<Shared> shared_;
    };

    // A receiving end with its own position. Move-only.
    class Receiver {
    public:
        using value_type = T;

        Receiver() = default;
        Receiver(Receiver&& o) noexcept
            : shared_(std::move(o.shared_)), next_(o.next_), id_(o.id_) {}
        Receiver& operator=(Receiver&& o) noexcept {
            if (this != &o) {
                release();
                shared_ = std::move(o.shared_);
                next_ = o.next_;
                id_ = o.id_;
            }
            return *this;
        }
        Receiver(const Receiver&) = delete;
        Receiver& operator=(const Receiver&) = delete;
        ~Receiver() { release(); }

        // Takes the next value without waiting: a value, Lagged (the
        // position moved to the oldest value held), Closed, or Empty.
        std::expected<T, BroadcastRecvError> try_recv() {
            std::lock_guard lock(shared_->mu);
            return take_locked();
        }

        // Waits until a value, the lag condition or the closed condition.
        std::expected<T, BroadcastRecvError> recv() {
            std::unique_lock lock(shared_->mu);
            for (;;) {
                auto r = take_locked();
                if (r || r.error().kind != BroadcastRecvError::Kind::Empty) return r;
                shared_->cv.wait(lock);
            }
        }

        // As recv(), but gives up with Empty once `timeout` has passed.
        template <class Rep, class Period>
        std::expected<T, BroadcastRecvError> recv_for(std::chrono::duration<Rep, Period> timeout) {
            const auto deadline = std::chrono::steady_clock::now() + timeout;
            std::unique_lock lock(shared_->mu);
            for (;;) {
                auto r = take_locked();
                if (r || r.error().kind != BroadcastRecvError::Kind::Empty) return r;
                if (shared_->cv.wait_until(lock, deadline) == std::cv_status::timeout) {
                    return take_locked();
                }
            }
        }

        // Registers a one-shot hook called (outside the channel's lock, on
        // the sending thread) at the next send or when the last sender goes.
        // Returns false without registering when a receive would not wait
        // right now. A receiver holds at most one hook; arming again
        // replaces it. The hook must be cheap and must not touch this
        // receiver's channel lock re-entrantly in a blocking way.
        bool arm(std::function<void()> hook) {
            std::lock_guard lock(shared_->mu);
            if (ready_locked()) return false;
            for (auto& w : shared_->waiters) {
                if (w.first == id_) {
                    w.second = std::move(hook);
                    return true;
                }
            }
            shared_->waiters.emplace_back(id_, std::move(hook));
            return true;
        }

        // Removes a registered hook, if any.
        void disarm() {
            std::lock_guard lock(shared_->mu);
            disarm_locked();
        }

        explicit operator bool() const noexcept { return shared_ != nullptr; }

    private:
        friend class BroadcastChannel;
        explicit Receiver(std::shared_ptr<Shared> s) : shared_(std::move(s)) {
            std::lock_guard lock(shared_->mu);
            ++shared_->receivers;
            next_ = shared_->tail;
            id_ = shared_->next_receiver_id++;
        }

        bool ready_locked() const {
            return next_ != shared_->tail || shared_->senders == 0;
        }

        void disarm_locked() {
            auto& w = shared_->waiters;
            w.erase(std::remove_if(w.begin(), w.end(), [&](const auto& e) { return e.first == id_; }),
                    w.end());
        }

        std::expected<T, BroadcastRecvError> take_locked() {
            Shared& s = *shared_;
            const std::uint64_t oldest = s.oldest();
            if (next_ < oldest) {
                const std::uint64_t missed = oldest - next_;
                next_ = oldest;
                return std::unexpected(BroadcastRecvError::lagged(missed));
            }
            if (next_ == s.tail) {
                return std::unexpected(s.senders == 0 ? BroadcastRecvError::closed()
                                                      : BroadcastRecvError::empty());
            }
            Slot& slot = s.ring[next_ % s.ring.size()];
            ++next_;
            if (--slot.remaining == 0) {
                T out = std::move(*slot.value);
                slot.value.reset();
                return out;
            }
            return *slot.value;
        }

        void release() noexcept {
            if (!shared_) return;
            {
                std::lock_guard lock(shared_->mu);
                Shared& s = *shared_;
                // Values this receiver never took no longer wait for it.
                for (std::uint64_t p = std::max(next_, s.oldest()); p < s.tail; ++p) {
                    Slot& slot = s.ring[p % s.ring.size()];
                    if (--slot.remaining == 0) slot.value.reset();
                }
                --s.receivers;
                disarm_locked();
            }
            shared_.reset();
        }

        std::shared_ptr<Shared> shared_;
        std::uint64_t next_ = 0;
        std::uint64_t id_ = 0;
    };

    // A new channel holding at most `capacity` values, with one sender and
    // one receiver. The ring has at least one slot: a capacity of 0 is
    // taken as 1.
    static std::pair<Sender, Receiver> create(std::size_t capacity) {
        auto shared = std::make_shared<Shared>(std::max<std::size_t>(capacity, 1));
        Sender tx(shared);
        Receiver rx(shared);
        return {std::move(tx), std::move(rx)};
    }
};

template <class T>
using BroadcastSender = typename BroadcastChannel<T>::Sender;
template <class T>
using BroadcastReceiver = typename BroadcastChannel<T>::Receiver;

}  // namespace ostrel_core
