#include "core/rate_limit.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <optional>

namespace ostrel_core {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// a - b, or nullopt when the result is below the int64 range (b >= 0).
std::optional<std::int64_t> checked_sub(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return std::nullopt;
    return r;
}

}  // namespace

std::string RateLimitStoreError::display() const {
    switch (kind_) {
        case Kind::Backend: return "rate-limit backend unavailable: " + message_;
        case Kind::Corrupt: return "rate-limit store corruption: " + message_;
        case Kind::Other: return "rate-limit store: " + message_;
    }
    return message_;
}

std::shared_ptr<InMemoryRateLimitStore> InMemoryRateLimitStore::create() {
    return std::make_shared<InMemoryRateLimitStore>();
}

void InMemoryRateLimitStore::add_event(KeyState& ks, std::int64_t now) {
    auto& b = ks.buckets;
    const auto live_begin = b.begin() + static_cast<std::ptrdiff_t>(ks.head);
    if (live_begin == b.end()) {
        // No live bucket: start afresh at the front of the storage.
        b.clear();
        ks.head = 0;
        b.push_back(Bucket{now, ks.base + 1});
        return;
    }
    if (now > b.back().second) {
        b.push_back(Bucket{now, b.back().cumulative + 1});
        return;
    }
    if (now == b.back().second) {
        ++b.back().cumulative;
        return;
    }
    // An event older than the newest bucket: find its second's place.
    auto pos = std::lower_bound(live_begin, b.end(), now,
                                [](const Bucket& x, std::int64_t t) { return x.second < t; });
    std::size_t index = static_cast<std::size_t>(pos - b.begin());
    if (pos->second != now) {
        const std::uint64_t before = index == ks.head ? ks.base : b[index - 1].cumulative;
        if (index == ks.head && ks.head > 0) {
            // Reuse the slot just before the live range.
            --ks.head;
            --index;
            b[index] = Bucket{now, before};
        } else {
            b.insert(pos, Bucket{now, before});
        }
    }
    // This bucket and every later one now include the new event.
    for (std::size_t i = index; i < b.size(); ++i) ++b[i].cumulative;
}

void InMemoryRateLimitStore::prune(KeyState& ks, std::int64_t now) {
    const auto threshold = checked_sub(now, kRetentionSeconds);
    if (!threshold) return;  // nothing can be that old
    auto& b = ks.buckets;
    while (ks.head < b.size() && b[ks.head].second <= *threshold) {
        ks.base = b[ks.head].cumulative;
        ++ks.head;
    }
    const std::size_t live = b.size() - ks.head;
    if (live == 0) {
        b.clear();
        ks.head = 0;
    } else if (ks.head >= 16 && ks.head * 4 >= live) {
        b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(ks.head));
        ks.head = 0;
    }
    if (b.capacity() > 2 * b.size() + 64) b.shrink_to_fit();
}

std::uint64_t InMemoryRateLimitStore::cumulative_at_or_before(const KeyState& ks, std::int64_t t) {
    const auto live_begin = ks.buckets.begin() + static_cast<std::ptrdiff_t>(ks.head);
    const auto it = std::upper_bound(live_begin, ks.buckets.end(), t,
                                     [](std::int64_t v, const Bucket& x) { return v < x.second; });
    return it == live_begin ? ks.base : std::prev(it)->cumulative;
}

void InMemoryRateLimitStore::sweep_some() {
    const auto retention_cutoff = checked_sub(newest_now_, kRetentionSeconds);
    if (!retention_cutoff) return;
    const auto cutoff = checked_sub(*retention_cutoff, kSweepMarginSeconds);
    if (!cutoff) return;
    // The key just recorded sits at the back; never sweep it in the same step.
    for (int checked = 0; checked < 2 && sweep_order_.size() > 1; ++checked) {
        const std::string* key = sweep_order_.front();
        const auto it = keys_.find(*key);
        const KeyState& ks = it->second;
        const bool idle = ks.head == ks.buckets.size() || ks.buckets.back().second <= *cutoff;
        if (idle) {
            sweep_order_.pop_front();
            keys_.erase(it);
        } else {
            // Still has recent (or future) events: look at it again later.
            sweep_order_.splice(sweep_order_.end(), sweep_order_, sweep_order_.begin());
        }
    }
}

std::expected<void, RateLimitStoreError> InMemoryRateLimitStore::record(std::string_view key, std::int64_t now) {
    std::unique_lock lock(mu_);
    if (is_poisoned()) return std::unexpected(RateLimitStoreError::other("rate-limit lock poisoned"));
    try {
        auto it = keys_.find(key);
        if (it == keys_.end()) {
            it = keys_.try_emplace(std::string(key)).first;
            try {
                sweep_order_.push_back(&it->first);
            } catch (...) {
                keys_.erase(it);
                throw;
            }
            it->second.sweep_pos = std::prev(sweep_order_.end());
        } else {
            sweep_order_.splice(sweep_order_.end(), sweep_order_, it->second.sweep_pos);
        }
        add_event(it->second, now);
        prune(it->second, now);
        newest_now_ = std::max(newest_now_, now);
        sweep_some();
        return {};
    } catch (const std::exception& e) {
        // A half-done update may have left a key's totals inconsistent: refuse
        // to count from it from now on.
        poisoned_.store(true, std::memory_order_release);
        return std::unexpected(RateLimitStoreError::other(std::string("rate-limit update failed: ") + e.what()));
    }
}

std::expected<std::uint64_t, RateLimitStoreError> InMemoryRateLimitStore::count_in_window(std::string_view key,
                                                                                         std::int64_t now,
                                                                                         std::int64_t window) {
    std::shared_lock lock(mu_);
    if (is_poisoned()) return std::unexpected(RateLimitStoreError::other("rate-limit lock poisoned"));
    if (window <= 0) return std::uint64_t{0};
    const auto it = keys_.find(key);
    if (it == keys_.end()) return std::uint64_t{0};
    const KeyState& ks = it->second;
    const std::uint64_t upto_now = cumulative_at_or_before(ks, now);
    const auto lower = checked_sub(now, window);
    const std::uint64_t upto_lower = lower ? cumulative_at_or_before(ks, *lower) : ks.base;
    return upto_now - upto_lower;
}

std::size_t InMemoryRateLimitStore::key_count() const {
    std::shared_lock lock(mu_);
    return keys_.size();
}

std::size_t InMemoryRateLimitStore::bucket_count(std::string_view key) const {
    std::shared_lock lock(mu_);
    const auto it = keys_.find(key);
    return it == keys_.end() ? 0 : it->second.buckets.size() - it->second.head;
}

}  // namespace ostrel_core
