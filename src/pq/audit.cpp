#include "pq/audit.hpp"

#include <cstring>
#include <limits>

#include <nlohmann/json.hpp>

#include "pq/audit_parallel.hpp"
#include "pq/crypto/sha256.hpp"

namespace ostrel_pq {

using ostrel_util::JsonError;
using ostrel_util::JsonWriter;

std::string_view chain_mode_text(ChainMode mode) noexcept {
    return mode == ChainMode::Hybrid ? "hybrid" : "pq-only";
}

// ---- SignedAuditEntry --------------------------------------------------------

void SignedAuditEntry::write_json(JsonWriter& w) const {
    w.begin_object();
    w.field("index", index);
    w.field("previous_hash", previous_hash);
    w.key("signed_payload");
    signed_payload.write_json(w);
    w.field("entry_hash", entry_hash);
    w.end_object();
}

namespace {

// Room for the byte arrays at up to four characters per byte plus the rest.
std::size_t json_size_hint(const SignedAuditEntry& e) {
    const auto& p = e.signed_payload;
    return 4 * (p.data.size() + p.ml_dsa_signature.size() + (p.ed25519_signature ? p.ed25519_signature->size() : 0)) +
           e.previous_hash.size() + e.entry_hash.size() + p.key_id.size() + 256;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

}  // namespace

std::string SignedAuditEntry::to_json() const {
    JsonWriter w(json_size_hint(*this));
    write_json(w);
    return w.take();
}

std::expected<SignedAuditEntry, JsonError> SignedAuditEntry::from_json(std::string_view text) {
    auto v = ostrel_util::parse_json(text);
    if (!v) return std::unexpected(v.error());
    auto r = ostrel_util::ObjectReader::open(*v, "struct SignedAuditEntry");
    if (!r) return std::unexpected(r.error());
    SignedAuditEntry e;
    auto index = r->u64("index");
    if (!index) return std::unexpected(index.error());
    e.index = *index;
    auto prev = r->string("previous_hash");
    if (!prev) return std::unexpected(prev.error());
    e.previous_hash = std::move(*prev);
    auto payload_json = r->require("signed_payload");
    if (!payload_json) return std::unexpected(payload_json.error());
    auto payload = SignedPayload::from_json_value(**payload_json);
    if (!payload) return std::unexpected(payload.error());
    e.signed_payload = std::move(*payload);
    auto hash = r->string("entry_hash");
    if (!hash) return std::unexpected(hash.error());
    e.entry_hash = std::move(*hash);
    return e;
}

std::uint64_t SignedAuditEntry::resident_estimate() const noexcept {
    const auto& p = signed_payload;
    std::uint64_t n = 96;
    n = saturating_add(n, previous_hash.size());
    n = saturating_add(n, entry_hash.size());
    n = saturating_add(n, p.data.size());
    n = saturating_add(n, p.ml_dsa_signature.size());
    n = saturating_add(n, p.ed25519_signature ? p.ed25519_signature->size() : 0);
    n = saturating_add(n, p.key_id.size());
    n = saturating_add(n, p.nonce.size());
    return n;
}

// ---- chain hash --------------------------------------------------------------

namespace {

std::expected<std::string, crypto::CryptoError> try_chain_hash(std::uint64_t index, std::string_view previous_hash,
                                                              const SignedPayload& payload) {
    auto as_bytes = [](std::string_view s) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    };
    std::uint8_t le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<std::uint8_t>(index >> (8 * i));

    crypto::Sha256 h;
    h.update(le);
    h.update(as_bytes(previous_hash));
    h.update(payload.data);
    h.update(payload.ml_dsa_signature);
    if (payload.ed25519_signature) h.update(*payload.ed25519_signature);
    h.update(as_bytes(payload.nonce));
    // At most 35 characters: "YYYY-MM-DDTHH:MM:SS.fffffffff+00:00".
    std::string when;
    when.reserve(40);
    payload.signed_at.append_rfc3339(when);  // "...Z"
    if (!when.empty() && when.back() == 'Z') when.pop_back();
    when += "+00:00";
    h.update(as_bytes(when));
    auto digest = h.finish();
    if (!digest) return std::unexpected(digest.error());

    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(64, '0');
    for (std::size_t i = 0; i < digest->size(); ++i) {
        out[2 * i] = kHex[(*digest)[i] >> 4];
        out[2 * i + 1] = kHex[(*digest)[i] & 0x0f];
    }
    return out;
}

}  // namespace

std::string compute_chain_hash(std::uint64_t index, std::string_view previous_hash, const SignedPayload& payload) {
    auto h = try_chain_hash(index, previous_hash, payload);
    return h ? std::move(*h) : std::string();
}

// ---- export --------------------------------------------------------------------

std::expected<std::string, PqError> export_jsonl(std::span<const SignedAuditEntry> entries) {
    try {
        std::size_t hint = 0;
        for (const auto& e : entries) hint += json_size_hint(e);
        std::string out;
        out.reserve(hint);
        for (const auto& e : entries) {
            JsonWriter w(json_size_hint(e));
            e.write_json(w);
            out += w.str();
            out += '\n';
        }
        return out;
    } catch (const std::exception& ex) {
        return std::unexpected(PqError::serialization(std::string("export: ") + ex.what()));
    }
}

// ---- mode detection and verification -------------------------------------------

std::expected<std::optional<ChainMode>, PqError> detect_mode(std::span<const SignedAuditEntry> entries) {
    if (entries.empty()) return std::optional<ChainMode>();
    ChainMode previous = mode_of(entries.front().signed_payload);
    const ChainMode first = previous;
    for (std::size_t i = 1; i < entries.size(); ++i) {
        const ChainMode m = mode_of(entries[i].signed_payload);
        if (m != previous) {
            return std::unexpected(PqError::audit_chain_broken(
                entries[i].index, "chain mode inconsistent: started as " + std::string(chain_mode_text(previous)) +
                                      ", entry is " + std::string(chain_mode_text(m)) + " (possible splice)"));
        }
        previous = m;
    }
    return std::optional<ChainMode>(first);
}

std::expected<void, PqError> verify_chain_from(std::span<const SignedAuditEntry> entries, const Verifier& verifier,
                                               std::string_view anchor, Parallelism par) {
    if (entries.empty()) return {};
    auto mode = detect_mode(entries);
    if (!mode) return std::unexpected(mode.error());
    const ChainMode verifier_mode = verifier.is_hybrid() ? ChainMode::Hybrid : ChainMode::PqOnly;
    if (**mode != verifier_mode) {
        return std::unexpected(PqError::audit_chain_broken(
            entries.front().index, "verifier/chain mode mismatch: chain is " + std::string(chain_mode_text(**mode)) +
                                       ", verifier is " + std::string(chain_mode_text(verifier_mode))));
    }

    // The links between entries use only stored fields, so one cheap pass in
    // order finds the first broken link. Every entry before it still needs its
    // signature and hash checked, and any failure there comes first in chain
    // order; those checks are independent of one another.
    std::size_t limit = entries.size();
    std::optional<PqError> link_error;
    std::string_view expected_previous = anchor;
    std::uint64_t expected_index = entries.front().index;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const SignedAuditEntry& e = entries[i];
        if (i > 0 && e.index != expected_index) {
            link_error = PqError::audit_chain_broken(
                expected_index, "expected index " + std::to_string(expected_index) + ", got " + std::to_string(e.index));
            limit = i;
            break;
        }
        if (e.previous_hash != expected_previous) {
            link_error = PqError::audit_chain_broken(e.index, "hash chain broken: expected '" +
                                                                  std::string(expected_previous) + "', got '" +
                                                                  e.previous_hash + "'");
            limit = i;
            break;
        }
        expected_previous = e.entry_hash;
        expected_index = e.index + 1;
    }

    auto check = [&](std::size_t i) -> std::optional<PqError> {
        const SignedAuditEntry& e = entries[i];
        if (auto ok = verifier.verify(e.signed_payload); !ok)
            return PqError::audit_chain_broken(e.index, "signature verification failed: " + ok.error().display());
        if (compute_chain_hash(e.index, e.previous_hash, e.signed_payload) != e.entry_hash)
            return PqError::audit_chain_broken(e.index, "entry hash mismatch");
        return std::nullopt;
    };
    if (auto failure = detail::first_failure<PqError>(limit, par.threads, 4, check))
        return std::unexpected(std::move(failure->second));
    if (link_error) return std::unexpected(std::move(*link_error));
    return {};
}

std::expected<void, PqError> verify_chain(std::span<const SignedAuditEntry> entries, const Verifier& verifier,
                                          Parallelism par) {
    if (!entries.empty() && entries.front().index != 0) {
        return std::unexpected(PqError::audit_chain_broken(
            0, "full-chain verification expects the chain to start at index 0, got " +
                   std::to_string(entries.front().index)));
    }
    return verify_chain_from(entries, verifier, kGenesisHash, par);
}

std::expected<void, PqError> verify_segments(std::span<const std::vector<SignedAuditEntry>> segments,
                                             const Verifier& verifier, Parallelism par) {
    std::string anchor(kGenesisHash);
    std::uint64_t next_index = 0;
    for (const auto& segment : segments) {
        if (segment.empty()) continue;
        if (segment.front().index != next_index) {
            return std::unexpected(PqError::audit_chain_broken(
                next_index, "segment boundary mismatch: expected next index " + std::to_string(next_index) +
                                ", segment starts at " + std::to_string(segment.front().index)));
        }
        if (auto ok = verify_chain_from(segment, verifier, anchor, par); !ok) return ok;
        anchor = segment.back().entry_hash;
        next_index = segment.back().index + 1;
    }
    return {};
}

// ---- SignedAuditChain ----------------------------------------------------------

SignedAuditChain::SignedAuditChain(Signer signer) : signer_(std::move(signer)), hybrid_(signer_.is_hybrid()) {}

std::expected<SignedAuditEntry, PqError> SignedAuditChain::append(const ostrel_core::AuditEntry& entry) {
    std::string json;
    try {
        json = entry.to_json();
    } catch (const std::exception& ex) {
        return std::unexpected(PqError::serialization(ex.what()));
    }
    // Signing is the expensive part and needs no chain state: it runs before
    // the lock, so concurrent appends sign in parallel.
    auto payload = signer_.sign(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(json.data()),
                                                              json.size()));
    if (!payload) return std::unexpected(payload.error());

    std::lock_guard lock(mu_);
    SignedAuditEntry e;
    e.index = length_;
    e.previous_hash = head_;
    auto hash = try_chain_hash(e.index, e.previous_hash, *payload);
    if (!hash) return std::unexpected(PqError::serialization("chain hash: " + hash.error().display()));
    e.entry_hash = std::move(*hash);
    e.signed_payload = std::move(*payload);
    head_ = e.entry_hash;
    length_ += 1;
    bytes_ = saturating_add(bytes_, e.resident_estimate());
    window_.push_back(std::move(e));
    return window_.back();
}

std::uint64_t SignedAuditChain::len() const {
    std::lock_guard lock(mu_);
    return length_;
}

std::string SignedAuditChain::head_hash() const {
    std::lock_guard lock(mu_);
    return head_;
}

std::uint64_t SignedAuditChain::base_index() const {
    std::lock_guard lock(mu_);
    return base_;
}

std::string SignedAuditChain::anchor_hash() const {
    std::lock_guard lock(mu_);
    return window_.empty() ? head_ : window_.front().previous_hash;
}

std::vector<SignedAuditEntry> SignedAuditChain::entries() const {
    std::lock_guard lock(mu_);
    return {window_.begin(), window_.end()};
}

std::expected<std::vector<SignedAuditEntry>, PqError> SignedAuditChain::entries_since(std::uint64_t from) const {
    std::lock_guard lock(mu_);
    if (from < base_) {
        return std::unexpected(PqError::audit_chain_broken(
            from, "entries_since(" + std::to_string(from) + ") requested an evicted index; base_index is " +
                      std::to_string(base_)));
    }
    if (from >= length_) return std::vector<SignedAuditEntry>();
    const auto skip = static_cast<std::ptrdiff_t>(from - base_);
    return std::vector<SignedAuditEntry>(window_.begin() + skip, window_.end());
}

std::uint64_t SignedAuditChain::prune_before(std::uint64_t before) {
    std::lock_guard lock(mu_);
    const std::uint64_t limit = std::min(before, length_);
    std::uint64_t removed = 0;
    while (base_ < limit && !window_.empty()) {
        const std::uint64_t cost = window_.front().resident_estimate();
        bytes_ = bytes_ > cost ? bytes_ - cost : 0;
        window_.pop_front();
        base_ += 1;
        removed += 1;
    }
    return removed;
}

std::uint64_t SignedAuditChain::resident_entries() const {
    std::lock_guard lock(mu_);
    return length_ - base_;
}

std::uint64_t SignedAuditChain::resident_bytes() const {
    std::lock_guard lock(mu_);
    return bytes_;
}

ResidentStats SignedAuditChain::resident_stats() const {
    std::lock_guard lock(mu_);
    return {length_ - base_, bytes_};
}

std::expected<std::string, PqError> SignedAuditChain::export_jsonl() const {
    std::vector<SignedAuditEntry> copy = entries();
    return ostrel_pq::export_jsonl(copy);
}

}  // namespace ostrel_pq
