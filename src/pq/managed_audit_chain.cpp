#include "pq/managed_audit_chain.hpp"

#include <algorithm>
#include <atomic>

namespace ostrel_pq {

struct ManagedAuditChain::Inner {
    Inner(Signer signer, std::shared_ptr<AuditSink> s, ManagedConfig c)
        : config(c), chain(std::move(signer)), sink(std::move(s)) {}

    const ManagedConfig config;
    SignedAuditChain chain;
    const std::shared_ptr<AuditSink> sink;

    // Every entry below this index is durably in the sink.
    std::mutex flushed_mu;
    std::uint64_t flushed = 0;

    // Held for a whole flush cycle, so cycles never overlap.
    std::mutex flush_lock;

    mutable std::mutex stats_mu;
    std::uint64_t entries_evicted = 0;
    std::uint64_t sink_failures = 0;
    std::uint64_t last_flush_index = 0;
    bool sink_healthy = true;

    std::mutex wake_mu;
    std::condition_variable wake_cv;
    bool signalled = false;
    std::atomic<bool> shutdown{false};

    void signal() {
        {
            std::lock_guard lock(wake_mu);
            signalled = true;
        }
        wake_cv.notify_one();
    }

    bool over_size_trigger(const ResidentStats& rs) const {
        return (config.max_entries && rs.entries > *config.max_entries) ||
               (config.max_bytes && rs.bytes > *config.max_bytes);
    }

    std::uint64_t flushed_through() {
        std::lock_guard lock(flushed_mu);
        return flushed;
    }

    // One flush cycle: hands the entries [flushed, target) to the sink and
    // prunes them only once the sink has stored them.
    std::expected<std::uint64_t, PqError> cycle(bool forced) {
        std::lock_guard cycle_lock(flush_lock);
        const std::uint64_t length = chain.len();
        const std::uint64_t done = flushed_through();
        std::uint64_t target = forced ? length : (length > config.min_retained ? length - config.min_retained : 0);
        target = std::max(target, done);
        if (done >= target) return 0;

        auto entries = chain.entries_since(done);
        if (!entries) return std::unexpected(entries.error());
        const std::uint64_t n = std::min<std::uint64_t>(entries->size(), target - done);
        if (n == 0) return 0;

        auto stored = sink->append_segment(std::span<const SignedAuditEntry>(entries->data(), n));
        if (!stored) {
            std::lock_guard lock(stats_mu);
            sink_failures += 1;
            sink_healthy = false;
            return std::unexpected(stored.error());
        }
        const std::uint64_t new_flushed = done + n;
        chain.prune_before(new_flushed);
        {
            std::lock_guard lock(flushed_mu);
            flushed = new_flushed;
        }
        std::lock_guard lock(stats_mu);
        entries_evicted += n;
        sink_healthy = true;
        last_flush_index = new_flushed;
        return n;
    }

    static void run_worker(std::shared_ptr<Inner> self) {
        const auto period = self->config.flush_interval.value_or(std::chrono::milliseconds(200));
        while (!self->shutdown.load()) {
            {
                std::unique_lock lock(self->wake_mu);
                // A signal that arrived during the previous cycle is honoured
                // at once rather than lost.
                auto woken = [&] { return self->signalled || self->shutdown.load(); };
                const auto now = std::chrono::steady_clock::now();
                if (period < std::chrono::steady_clock::time_point::max() - now) {
                    self->wake_cv.wait_until(lock, now + period, woken);
                } else {
                    self->wake_cv.wait(lock, woken);  // a period beyond the clock's range never elapses
                }
                self->signalled = false;
            }
            if (self->shutdown.load()) break;
            (void)self->cycle(false);  // failures show in the statistics
        }
        (void)self->cycle(true);
    }
};

ManagedAuditChain::ManagedAuditChain(Signer signer, std::shared_ptr<AuditSink> sink, ManagedConfig config)
    : inner_(std::make_shared<Inner>(std::move(signer), std::move(sink), config)) {
    if (config.has_trigger()) worker_.emplace(&Inner::run_worker, inner_);
}

ManagedAuditChain::~ManagedAuditChain() {
    std::optional<std::thread> worker;
    {
        std::lock_guard lock(worker_mu_);
        worker.swap(worker_);
    }
    if (worker) {
        inner_->shutdown.store(true);
        inner_->signal();
        if (worker->joinable()) worker->join();
    } else {
        // No worker to do it: whatever was appended reaches the sink if the
        // sink works (a failure is counted like the worker's would be).
        (void)inner_->cycle(true);
    }
}

std::expected<SignedAuditEntry, PqError> ManagedAuditChain::append(const ostrel_core::AuditEntry& entry) {
    Inner& in = *inner_;
    if (in.config.on_sink_failure == SinkFailureMode::Reject) {
        bool healthy;
        {
            std::lock_guard lock(in.stats_mu);
            healthy = in.sink_healthy;
        }
        if (!healthy && in.over_size_trigger(in.chain.resident_stats())) {
            return std::unexpected(PqError::serialization(
                "audit sink unavailable and buffer over threshold; append rejected (backpressure)"));
        }
    } else if (in.chain.resident_entries() >= in.config.buffer_ceiling) {
        return std::unexpected(PqError::serialization("audit buffer ceiling " +
                                                      std::to_string(in.config.buffer_ceiling) +
                                                      " reached (sink not draining); append rejected"));
    }

    auto appended = in.chain.append(entry);
    if (!appended) return appended;
    if (in.over_size_trigger(in.chain.resident_stats())) in.signal();
    return appended;
}

std::expected<std::uint64_t, PqError> ManagedAuditChain::flush() { return inner_->cycle(false); }
std::expected<std::uint64_t, PqError> ManagedAuditChain::drain() { return inner_->cycle(true); }

ManagedStats ManagedAuditChain::stats() const {
    ManagedStats s;
    s.entries_appended = inner_->chain.len();
    const ResidentStats rs = inner_->chain.resident_stats();
    s.resident_entries = rs.entries;
    s.resident_bytes = rs.bytes;
    std::lock_guard lock(inner_->stats_mu);
    s.entries_evicted = inner_->entries_evicted;
    s.sink_failures = inner_->sink_failures;
    s.last_flush_index = inner_->last_flush_index;
    s.sink_healthy = inner_->sink_healthy;
    return s;
}

std::uint64_t ManagedAuditChain::len() const { return inner_->chain.len(); }
bool ManagedAuditChain::is_empty() const { return inner_->chain.is_empty(); }
std::string ManagedAuditChain::head_hash() const { return inner_->chain.head_hash(); }
std::uint64_t ManagedAuditChain::base_index() const { return inner_->chain.base_index(); }
std::string ManagedAuditChain::anchor_hash() const { return inner_->chain.anchor_hash(); }
std::uint64_t ManagedAuditChain::resident_entries() const { return inner_->chain.resident_entries(); }
std::uint64_t ManagedAuditChain::resident_bytes() const { return inner_->chain.resident_bytes(); }
std::expected<std::string, PqError> ManagedAuditChain::export_tail_jsonl() const { return inner_->chain.export_jsonl(); }
bool ManagedAuditChain::is_hybrid() const noexcept { return inner_->chain.is_hybrid(); }
bool ManagedAuditChain::has_worker() const {
    std::lock_guard lock(worker_mu_);
    return worker_.has_value();
}

}  // namespace ostrel_pq
