// The signed audit chain: audit entries, each signed with the hybrid signer
// and linked to its predecessor by a SHA-256 chain hash, so that reordering,
// insertion, deletion, alteration and splicing across signature modes are all
// caught by verification.
//
// Chain hash of the entry at `index` (one streaming SHA-256 pass, written as
// 64 lower-case hex characters) over, with no separators:
//   index as 8 little-endian bytes || previous hash text || payload data ||
//   ML-DSA signature || Ed25519 signature (only when present) || nonce text ||
//   signing time as RFC 3339 with "+00:00" and the fraction rule.
// The first entry's previous hash is the text "genesis". The key id is not
// hashed.
//
// JSON Lines form: one compact SignedAuditEntry object per line, keys
// "index", "previous_hash", "signed_payload", "entry_hash", each line ended
// by a line feed (the last one too); an empty sequence is zero bytes.
//
// The chain keeps a resident window in memory and can drop its oldest
// entries once the caller has stored them elsewhere (prune_before); the
// length and the head hash are unaffected, so appending continues the same
// chain.
#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/audit.hpp"
#include "pq/error.hpp"
#include "pq/sign.hpp"

namespace ostrel_pq {

inline constexpr std::string_view kGenesisHash = "genesis";

// The signature mode of an entry, read from its payload alone: hybrid when it
// carries an Ed25519 signature.
enum class ChainMode : std::uint8_t { PqOnly, Hybrid };

// "pq-only" or "hybrid".
std::string_view chain_mode_text(ChainMode mode) noexcept;
inline ChainMode mode_of(const SignedPayload& p) noexcept {
    return p.ed25519_signature ? ChainMode::Hybrid : ChainMode::PqOnly;
}

struct SignedAuditEntry {
    std::uint64_t index = 0;
    std::string previous_hash;
    SignedPayload signed_payload;
    std::string entry_hash;

    void write_json(ostrel_util::JsonWriter& w) const;
    std::string to_json() const;
    // All four keys are required; unknown keys are ignored.
    static std::expected<SignedAuditEntry, ostrel_util::JsonError> from_json(std::string_view text);

    // What the entry is taken to cost in memory: 96 plus the byte lengths of
    // both hashes, the payload data, both signatures, the key id and nonce.
    std::uint64_t resident_estimate() const noexcept;

    bool operator==(const SignedAuditEntry&) const = default;
};

// The chain hash (see the file comment). Returns an empty string only if the
// hashing backend fails, which no stored hash ever equals.
std::string compute_chain_hash(std::uint64_t index, std::string_view previous_hash, const SignedPayload& payload);

// JSON Lines of `entries`. Errors: Serialization "export: {}".
std::expected<std::string, PqError> export_jsonl(std::span<const SignedAuditEntry> entries);

// How much of the machine parsing and verification may use. 0 means one
// thread per available CPU; 1 runs everything on the calling thread.
// Results, errors included, do not depend on it.
struct Parallelism {
    unsigned threads = 0;
};

// Reads JSON Lines: lines are split at line feeds, lines holding only ASCII
// whitespace are skipped, every other line must be one entry (surrounding
// JSON whitespace allowed, so CRLF files read). No chain property is checked.
// Errors: Serialization "parse failed at entry #{}: {}" with the 0-based
// position among the non-blank lines and the JSON reader's message.
std::expected<std::vector<SignedAuditEntry>, PqError> parse_jsonl(std::string_view bytes, Parallelism par = {});
inline std::expected<std::vector<SignedAuditEntry>, PqError> parse_jsonl(std::span<const std::uint8_t> bytes,
                                                                        Parallelism par = {}) {
    return parse_jsonl(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), par);
}

// The mode of the first entry, absent for an empty sequence. Errors:
// AuditChainBroken at the first entry whose mode differs from its
// predecessor's, "chain mode inconsistent: started as {}, entry is {}
// (possible splice)".
std::expected<std::optional<ChainMode>, PqError> detect_mode(std::span<const SignedAuditEntry> entries);

// Verifies a run of entries that chains from `anchor` (the previous hash of
// its first entry), stopping at the first violation in chain order:
//   mode inconsistency (as detect_mode); mode differs from the verifier's:
//   "verifier/chain mode mismatch: chain is {}, verifier is {}" at the first
//   entry's index, before any signature check; then per entry in order:
//   "expected index {}, got {}" (at the expected index; not for the first
//   entry), "hash chain broken: expected '{}', got '{}'", "signature
//   verification failed: {verifier's text}", "entry hash mismatch".
// Signature checks are spread over threads; the error reported is always the
// one a check in chain order meets first.
std::expected<void, PqError> verify_chain_from(std::span<const SignedAuditEntry> entries, const Verifier& verifier,
                                               std::string_view anchor, Parallelism par = {});

// A whole chain: must start at index 0 ("full-chain verification expects the
// chain to start at index 0, got {}" at index 0) and chain from "genesis".
std::expected<void, PqError> verify_chain(std::span<const SignedAuditEntry> entries, const Verifier& verifier,
                                          Parallelism par = {});

// One chain split into ordered segments (e.g. files then the in-memory
// tail), verified from genesis; empty segments are skipped. A segment that
// does not start at the next index fails with "segment boundary mismatch:
// expected next index {}, segment starts at {}" at the next index.
std::expected<void, PqError> verify_segments(std::span<const std::vector<SignedAuditEntry>> segments,
                                             const Verifier& verifier, Parallelism par = {});

struct ResidentStats {
    std::uint64_t entries = 0;
    std::uint64_t bytes = 0;
};

// An in-memory signed audit chain. All operations are thread-safe: one mutex
// guards the state and is held only for bookkeeping; signing in append runs
// outside it, so appends from several threads sign in parallel and receive
// consecutive indexes in the order they take the lock.
class SignedAuditChain {
public:
    explicit SignedAuditChain(Signer signer);

    SignedAuditChain(const SignedAuditChain&) = delete;
    SignedAuditChain& operator=(const SignedAuditChain&) = delete;

    // Serialises, signs and links `entry`; returns a copy of the new entry.
    // A signer error is returned unchanged and leaves the chain untouched.
    std::expected<SignedAuditEntry, PqError> append(const ostrel_core::AuditEntry& entry);

    std::uint64_t len() const;
    bool is_empty() const { return len() == 0; }
    std::string head_hash() const;
    std::uint64_t base_index() const;
    // The previous hash of the oldest resident entry, or the head hash when
    // nothing is resident: the anchor the resident window chains from.
    std::string anchor_hash() const;
    std::vector<SignedAuditEntry> entries() const;
    // Copies of the resident entries with index >= from. Errors:
    // AuditChainBroken at `from`, "entries_since({}) requested an evicted
    // index; base_index is {}", when from < base index.
    std::expected<std::vector<SignedAuditEntry>, PqError> entries_since(std::uint64_t from) const;
    // Drops resident entries with index < before (the caller must have
    // stored them); returns how many were dropped.
    std::uint64_t prune_before(std::uint64_t before);
    std::uint64_t resident_entries() const;
    std::uint64_t resident_bytes() const;
    ResidentStats resident_stats() const;
    // JSON Lines of the resident window.
    std::expected<std::string, PqError> export_jsonl() const;

    bool is_hybrid() const noexcept { return hybrid_; }
    const Signer& signer() const noexcept { return signer_; }

private:
    const Signer signer_;
    const bool hybrid_;
    mutable std::mutex mu_;
    std::deque<SignedAuditEntry> window_;
    std::string head_{kGenesisHash};
    std::uint64_t length_ = 0;
    std::uint64_t base_ = 0;
    std::uint64_t bytes_ = 0;
};

}  // namespace ostrel_pq
