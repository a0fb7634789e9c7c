// Event counting per key for rate limits. Times are whole seconds since the
// Unix epoch, passed in by the caller; the stores read no clock.
//
// `record(key, now)` adds one event at `now` and forgets the key's events at
// or before now - 86400. `count_in_window(key, now, window)` counts the key's
// events t with now - window < t <= now (lower bound excluded, upper bound
// included; a window <= 0 counts nothing). Events later than a count's `now`
// are not counted by it, and a record never forgets events later than its
// own `now`. Implementations are shared (std::shared_ptr) and callable from
// several threads at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <list>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ostrel_core {

class RateLimitStoreError {
public:
    enum class Kind : std::uint8_t { Backend, Corrupt, Other };

    // "rate-limit backend unavailable: {}"
    static RateLimitStoreError backend(std::string message) { return {Kind::Backend, std::move(message)}; }
    // "rate-limit store corruption: {}"
    static RateLimitStoreError corrupt(std::string message) { return {Kind::Corrupt, std::move(message)}; }
    // "rate-limit store: {}"
    static RateLimitStoreError other(std::string message) { return {Kind::Other, std::move(message)}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    std::string display() const;

    bool operator==(const RateLimitStoreError&) const = default;

private:
    RateLimitStoreError(Kind k, std::string m) : kind_(k), message_(std::move(m)) {}
    Kind kind_;
    std::string message_;
};

class RateLimitStore {
public:
    // Events are kept for this long after the `now` of a later record.
    static constexpr std::int64_t kRetentionSeconds = 86400;

    virtual ~RateLimitStore() = default;
    virtual std::expected<void, RateLimitStoreError> record(std::string_view key, std::int64_t now) = 0;
    virtual std::expected<std::uint64_t, RateLimitStoreError> count_in_window(std::string_view key,
                                                                             std::int64_t now,
                                                                             std::int64_t window) = 0;
};

// In-process store. Per key it keeps one bucket per distinct second (the
// second and a running total of events up to it), sorted by second, so a
// key hammered at any rate holds at most one bucket per second of the
// retention period, and a count is two binary searches. Recording at the
// newest second is O(1); recording into an older second shifts the totals of
// the later buckets. Keys whose newest event is older than the retention
// period (plus a safety margin) relative to the newest `now` ever recorded are
// swept a few at a time during later records, so memory does not grow with
// key churn; a swept key's events would have been forgotten by the key's next
// record anyway, so decisions made by record-then-count are unchanged.
class InMemoryRateLimitStore final : public RateLimitStore {
public:
    // Extra age beyond the retention period before an idle key is swept:
    // covers callers whose clocks lag the newest recorded time.
    static constexpr std::int64_t kSweepMarginSeconds = 3600;

    InMemoryRateLimitStore() = default;
    static std::shared_ptr<InMemoryRateLimitStore> create();

    std::expected<void, RateLimitStoreError> record(std::string_view key, std::int64_t now) override;
    std::expected<std::uint64_t, RateLimitStoreError> count_in_window(std::string_view key, std::int64_t now,
                                                                     std::int64_t window) override;

    // Number of keys currently held (swept keys excluded).
    std::size_t key_count() const;
    // Number of buckets (distinct seconds) currently held for `key`.
    std::size_t bucket_count(std::string_view key) const;
    // True once an update failed half-way; every later operation then fails
    // with Other("rate-limit lock poisoned"). Never clears.
    bool is_poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

private:
    struct Bucket {
        std::int64_t second;
        std::uint64_t cumulative;  // events in this and every earlier bucket since the key began
    };
    struct KeyState;
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    struct KeyState {
        std::vector<Bucket> buckets;  // live buckets are [head, size), sorted by second
        std::size_t head = 0;
        std::uint64_t base = 0;  // cumulative total of the forgotten buckets
        std::list<const std::string*>::iterator sweep_pos;  // entry in sweep_order_
    };

    void add_event(KeyState& ks, std::int64_t now);
    static void prune(KeyState& ks, std::int64_t now);
    static std::uint64_t cumulative_at_or_before(const KeyState& ks, std::int64_t t);
    void sweep_some();

    mutable std::shared_mutex mu_;
    std::unordered_map<std::string, KeyState, Hash, std::equal_to<>> keys_;
    // Keys (pointing at the map's own key strings, which never move) in order
    // of their last record, oldest first, for the sweep.
    std::list<const std::string*> sweep_order_;
    std::int64_t newest_now_ = INT64_MIN;
    std::atomic<bool> poisoned_{false};
};

}  // namespace ostrel_core
