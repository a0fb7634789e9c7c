// ManagedAuditChain: a signed audit chain whose memory stays bounded.
//
// A worker thread moves old entries to a durable sink and prunes them from
// memory. Eviction is transactional: entries leave memory only after the
// sink has stored them, so a failing sink never loses an entry; it is offered
// the same entries again at the next cycle. The file holds the chain's prefix
// [0, flushed-through index) and memory the rest, so the sink's data followed
// by export_tail_jsonl() verifies as one chain from genesis.
//
// Triggers: max_entries and max_bytes wake the worker early when an append
// leaves more resident; the worker also wakes every flush_interval (200 ms
// when no interval is set). Without any trigger no worker runs and entries
// move only on flush()/drain() - and when the chain is dropped, which always
// runs one last forced cycle so that whatever the sink accepts is not lost.
//
// Backpressure: in Buffer mode appends are refused once buffer_ceiling
// entries are resident; in Reject mode they are refused while the sink is
// unhealthy and a size trigger is exceeded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "pq/audit.hpp"
#include "pq/audit_sink.hpp"

namespace ostrel_pq {

enum class SinkFailureMode : std::uint8_t { Buffer, Reject };

struct ManagedConfig {
    std::optional<std::uint64_t> max_entries;
    std::optional<std::uint64_t> max_bytes;
    SinkFailureMode on_sink_failure = SinkFailureMode::Buffer;
    std::uint64_t buffer_ceiling = 1'000'000;
    std::optional<std::chrono::nanoseconds> flush_interval;
    std::uint64_t min_retained = 256;

    bool has_trigger() const noexcept { return max_entries || max_bytes || flush_interval; }
};

struct ManagedStats {
    std::uint64_t entries_appended = 0;
    std::uint64_t entries_evicted = 0;
    std::uint64_t resident_entries = 0;
    std::uint64_t resident_bytes = 0;
    std::uint64_t sink_failures = 0;
    std::uint64_t last_flush_index = 0;
    bool sink_healthy = true;
};

class ManagedAuditChain {
public:
    // Starts the worker when a trigger is configured; the sink is not touched.
    // Throws std::system_error only if the thread cannot be started.
    ManagedAuditChain(Signer signer, std::shared_ptr<AuditSink> sink, ManagedConfig config);
    // Stops the worker after its final forced flush and joins it; without a
    // worker, runs that forced flush itself. Errors are counted in the
    // statistics like the worker's.
    ~ManagedAuditChain();

    ManagedAuditChain(const ManagedAuditChain&) = delete;
    ManagedAuditChain& operator=(const ManagedAuditChain&) = delete;

    // Errors: Serialization "audit sink unavailable and buffer over
    // threshold; append rejected (backpressure)" (Reject mode), "audit buffer
    // ceiling {} reached (sink not draining); append rejected" (Buffer mode),
    // or the chain's own error.
    std::expected<SignedAuditEntry, PqError> append(const ostrel_core::AuditEntry& entry);
    // One normal cycle (keeps min_retained entries) on the calling thread.
    std::expected<std::uint64_t, PqError> flush();
    // One forced cycle (writes everything) on the calling thread.
    std::expected<std::uint64_t, PqError> drain();
    ManagedStats stats() const;

    std::uint64_t len() const;
    bool is_empty() const;
    std::string head_hash() const;
    std::uint64_t base_index() const;
    std::string anchor_hash() const;
    std::uint64_t resident_entries() const;
    std::uint64_t resident_bytes() const;
    std::expected<std::string, PqError> export_tail_jsonl() const;

    bool is_hybrid() const noexcept;
    bool has_worker() const;

    struct Inner;

private:
    std::shared_ptr<Inner> inner_;
    mutable std::mutex worker_mu_;
    std::optional<std::thread> worker_;
};

}  // namespace ostrel_pq
