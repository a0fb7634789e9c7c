// Python classes of the audit log: AuditEntry, SignedAuditChain and
// ManagedAuditChain.

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/audit.hpp"
#include "pq/audit.hpp"
#include "pq/audit_sink.hpp"
#include "pq/managed_audit_chain.hpp"
#include "py/classes.hpp"
#include "py/keys_family.hpp"
#include "util/uuid.hpp"

namespace ostrel_py {

namespace pq = ostrel_pq;

using AuditEntryObject = Object<struct AuditEntryTag, ostrel_core::AuditEntry>;
using SignedAuditChainObject = Object<struct SignedAuditChainTag, std::shared_ptr<pq::SignedAuditChain>>;
using ManagedAuditChainObject = Object<struct ManagedAuditChainTag, std::unique_ptr<pq::ManagedAuditChain>>;

namespace {

// A sequence (not a str) of byte strings, each converted leniently.
struct SegmentList {
    std::vector<std::vector<std::uint8_t>> items;
};

bool from_py(PyObject* o, SegmentList& out) {
    if (!detail::check_sequence_not_str(o, "a sequence of byte strings")) return false;
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return false;
    SegmentList result;
    result.items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) return false;
        LenientBytes b;
        if (!ostrel_py::from_py(item.get(), b)) return false;
        result.items.push_back(std::move(b.data));
    }
    out = std::move(result);
    return true;
}

PyObject* jsonl_to_py(const std::string& s) {
    return to_py_bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// The entries' count as a Python int.
PyObject* count_to_py(std::size_t n) { return to_py(static_cast<std::uint64_t>(n)); }

// ---------------------------------------------------------------------------
// AuditEntry

const char kAuditEntryDoc[] =
    "AuditEntry(principal_id, action_name, verdict, verdict_detail, resource=None, decided_by=None, ip=None, "
    "evaluation_id=None, session_id=None)\n--\n\n"
    "A single audit-log entry: the record of one gate decision, passed to SignedAuditChain.append\n"
    "or ManagedAuditChain.append.\n"
    "\n"
    "principal_id, action_name, verdict (\"permit\", \"refuse\" or \"invalidate\") and verdict_detail\n"
    "are required. The id is a fresh UUID; evaluation_id and session_id default to fresh UUIDs\n"
    "and the timestamp is the current UTC time. resource, decided_by and ip are stored as given.";

PyObject* audit_entry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("AuditEntry.__new__", kAuditEntryDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string principal_id, action_name, verdict, detail;
        std::optional<std::string> resource, decided_by, ip, evaluation_id, session_id;
        if (!a.get(0, principal_id) || !a.get(1, action_name) || !a.get(2, verdict) || !a.get(3, detail) ||
            !a.get(4, resource) || !a.get(5, decided_by) || !a.get(6, ip) || !a.get(7, evaluation_id) ||
            !a.get(8, session_id))
            return nullptr;
        if (verdict != "permit" && verdict != "refuse" && verdict != "invalidate")
            return raise(PyExc_ValueError, "verdict must be 'permit'|'refuse'|'invalidate', got '" + verdict + "'");
        ostrel_core::AuditEntry e = ostrel_core::AuditEntry::make(std::move(principal_id), std::move(action_name),
                                                                  std::move(verdict), std::move(detail));
        if (evaluation_id) {
            auto u = ostrel_util::Uuid::parse(*evaluation_id);
            if (!u) return raise_error(PyExc_ValueError, "evaluation_id not a UUID", u.error());
            e.evaluation_id = *u;
        }
        if (session_id) {
            auto u = ostrel_util::Uuid::parse(*session_id);
            if (!u) return raise_error(PyExc_ValueError, "session_id not a UUID", u.error());
            e.session_id = *u;
        }
        e.resource = std::move(resource);
        e.decided_by = std::move(decided_by);
        e.ip = std::move(ip);
        return make_instance<AuditEntryObject>(type, std::move(e));
    });
}

PyObject* audit_entry_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const auto& e = as<AuditEntryObject>(self)->value();
        return to_py("AuditEntry(principal=" + e.principal_id + ", action=" + e.action_name +
                     ", verdict=" + e.verdict + ")");
    });
}

using Entry = ostrel_core::AuditEntry;

PyGetSetDef g_audit_entry_getset[] = {
    {"id", getter<AuditEntryObject, [](const Entry& e) { return to_py(e.id.to_string()); }>, nullptr,
     "The entry id: a 36-character lower-case hyphenated UUID.", nullptr},
    {"principal_id", getter<AuditEntryObject, [](const Entry& e) { return to_py(e.principal_id); }>, nullptr,
     "The acting principal.", nullptr},
    {"action_name", getter<AuditEntryObject, [](const Entry& e) { return to_py(e.action_name); }>, nullptr,
     "The attempted action.", nullptr},
    {"verdict", getter<AuditEntryObject, [](const Entry& e) { return to_py(e.verdict); }>, nullptr,
     "\"permit\", \"refuse\" or \"invalidate\".", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Shared verification of exported JSON Lines

std::string bool_text(bool b) { return b ? "true" : "false"; }

PyObject* raise_mode_mismatch(bool expected_hybrid, pq::ChainMode actual) {
    return raise(PyExc_ValueError, "audit chain mode mismatch: caller expected hybrid=" + bool_text(expected_hybrid) +
                                       " but chain is " + std::string(pq::chain_mode_text(actual)));
}

// ---------------------------------------------------------------------------
// SignedAuditChain

const char kChainDoc[] =
    "SignedAuditChain(keypair, hybrid=True)\n--\n\n"
    "A tamper-evident, post-quantum-signed audit log.\n"
    "\n"
    "Every appended entry is signed (ML-DSA-65, plus Ed25519 in hybrid mode) and linked to its\n"
    "predecessor by a SHA-256 hash chain, so reordering, insertion, deletion, modification and\n"
    "splicing entries across signature modes are all detected when verifying. Built from an\n"
    "OstrelKeyPair and a hybrid flag (default True). A verifier's mode must match the chain's\n"
    "mode: a hybrid chain is never silently verified under a PQ-only verifier, nor the reverse.";

const char kChainAppendDoc[] =
    "append($self, entry)\n--\n\n"
    "Append an AuditEntry and return the new chain length.";
const char kChainVerifyDoc[] =
    "verify($self, public_keys)\n--\n\n"
    "Verify all resident entries in place against the PublicKeyBundle. Raises ValueError on\n"
    "tampering, a signature mismatch, a chain break or a verifier-mode mismatch.";
const char kChainExportDoc[] =
    "export_jsonl($self)\n--\n\n"
    "Export the chain as JSON Lines bytes, one SignedAuditEntry per line, trailing newline\n"
    "included.";
const char kChainVerifyJsonlDoc[] =
    "verify_jsonl(data, public_keys, hybrid=None)\n--\n\n"
    "Verify a previously exported JSON Lines chain and return the number of entries verified.\n"
    "The mode is inferred from the data unless `hybrid` is given; then it is a strict assertion\n"
    "checked before any cryptography.";
const char kChainPruneDoc[] =
    "prune_before($self, before)\n--\n\n"
    "Drop in-memory entries with logical index below `before` and return how many were dropped.\n"
    "The head hash and length are kept, so appending continues the same chain. The entries must\n"
    "already be stored durably (for example from export_jsonl): the chain keeps no other copy.";
const char kChainEntriesSinceDoc[] =
    "entries_since_jsonl($self, from)\n--\n\n"
    "Export the retained entries with logical index at least `from` as JSON Lines. Raises if\n"
    "`from` is below base_index (those entries were pruned).";
const char kChainSegmentsDoc[] =
    "verify_jsonl_segments(segments, public_keys, hybrid=None)\n--\n\n"
    "Verify a chain split across ordered JSON Lines segments (several files, optionally followed\n"
    "by the in-memory tail) as one chain from genesis; returns the total number of entries.";

pq::SignedAuditChain& chain_of(PyObject* self) { return *as<SignedAuditChainObject>(self)->value(); }

PyObject* chain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SignedAuditChain.__new__", kChainDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        OstrelKeyPairObject* kp = nullptr;
        bool hybrid = true;
        if (!a.get(0, kp) || !a.get(1, hybrid)) return nullptr;
        auto chain = std::make_shared<pq::SignedAuditChain>(pq::Signer::from_keypair(*kp->value(), hybrid));
        return make_instance<SignedAuditChainObject>(type, std::move(chain));
    });
}

PyObject* chain_append(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SignedAuditChain.append", kChainAppendDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        AuditEntryObject* entry = nullptr;
        if (!a.get(0, entry)) return nullptr;
        auto r = chain_of(self).append(entry->value());
        if (!r) return raise_error(PyExc_RuntimeError, "append failed", r.error());
        return to_py(static_cast<std::uint64_t>(r->index + 1));
    });
}

PyObject* chain_verify(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SignedAuditChain.verify", kChainVerifyDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        PublicKeyBundleObject* bundle = nullptr;
        if (!a.get(0, bundle)) return nullptr;
        pq::SignedAuditChain& chain = chain_of(self);
        const pq::Verifier verifier = pq::Verifier::from_bundle(bundle->value(), chain.is_hybrid());
        const auto entries = chain.entries();
        if (auto ok = pq::verify_chain(entries, verifier); !ok)
            return raise_error(PyExc_ValueError, "audit chain verification failed", ok.error());
        return none();
    });
}

PyObject* chain_export(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto text = chain_of(self).export_jsonl();
        if (!text) return raise_error(PyExc_RuntimeError, "export", text.error());
        return jsonl_to_py(*text);
    });
}

PyObject* chain_verify_jsonl(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SignedAuditChain.verify_jsonl", kChainVerifyJsonlDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        StrictBytes data;
        PublicKeyBundleObject* bundle = nullptr;
        std::optional<bool> hybrid;
        if (!a.get(0, data) || !a.get(1, bundle) || !a.get(2, hybrid)) return nullptr;

        auto entries = pq::parse_jsonl(std::span<const std::uint8_t>(data.data));
        if (!entries) return raise_error(PyExc_ValueError, "audit chain parse failed", entries.error());
        auto mode = pq::detect_mode(*entries);
        if (!mode) return raise_error(PyExc_ValueError, "audit chain parse failed", mode.error());
        if (hybrid && *mode && (**mode == pq::ChainMode::Hybrid) != *hybrid) return raise_mode_mismatch(*hybrid, **mode);
        if (!hybrid && !*mode) return count_to_py(0);
        const bool verify_hybrid = hybrid ? *hybrid : **mode == pq::ChainMode::Hybrid;
        const pq::Verifier verifier = pq::Verifier::from_bundle(bundle->value(), verify_hybrid);
        if (auto ok = pq::verify_chain(*entries, verifier); !ok)
            return raise_error(PyExc_ValueError, "audit chain verification failed", ok.error());
        return count_to_py(entries->size());
    });
}

PyObject* chain_prune_before(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SignedAuditChain.prune_before", kChainPruneDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::uint64_t before = 0;
        if (!a.get(0, before)) return nullptr;
        return to_py(chain_of(self).prune_before(before));
    });
}

PyObject* chain_entries_since_jsonl(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SignedAuditChain.entries_since_jsonl", kChainEntriesSinceDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::uint64_t from = 0;
        if (!a.get(0, from)) return nullptr;
        auto entries = chain_of(self).entries_since(from);
        if (!entries) return raise_error(PyExc_ValueError, "entries_since failed", entries.error());
        auto text = pq::export_jsonl(*entries);
        if (!text) return raise_error(PyExc_RuntimeError, "export", text.error());
        return jsonl_to_py(*text);
    });
}

PyObject* chain_verify_segments(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SignedAuditChain.verify_jsonl_segments", kChainSegmentsDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        SegmentList segments;
        PublicKeyBundleObject* bundle = nullptr;
        std::optional<bool> hybrid;
        if (!a.get(0, segments) || !a.get(1, bundle) || !a.get(2, hybrid)) return nullptr;

        std::vector<std::vector<pq::SignedAuditEntry>> parsed;
        parsed.reserve(segments.items.size());
        std::size_t total = 0;
        for (const auto& bytes : segments.items) {
            auto entries = pq::parse_jsonl(std::span<const std::uint8_t>(bytes));
            if (!entries) return raise_error(PyExc_ValueError, "audit chain parse failed", entries.error());
            total += entries->size();
            parsed.push_back(std::move(*entries));
        }
        // Only the first non-empty segment's mode is compared or adopted;
        // later segments are checked against it during verification.
        std::optional<pq::ChainMode> mode;
        for (const auto& seg : parsed) {
            if (seg.empty()) continue;
            auto m = pq::detect_mode(seg);
            if (!m) return raise_error(PyExc_ValueError, "audit chain parse failed", m.error());
            mode = *m;
            break;
        }
        if (hybrid && mode && (*mode == pq::ChainMode::Hybrid) != *hybrid) return raise_mode_mismatch(*hybrid, *mode);
        if (!mode) return count_to_py(0);
        const bool verify_hybrid = hybrid ? *hybrid : *mode == pq::ChainMode::Hybrid;
        const pq::Verifier verifier = pq::Verifier::from_bundle(bundle->value(), verify_hybrid);
        if (auto ok = pq::verify_segments(parsed, verifier); !ok)
            return raise_error(PyExc_ValueError, "audit chain verification failed", ok.error());
        return count_to_py(total);
    });
}

Py_ssize_t length_of(std::uint64_t n) {
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "chain length does not fit in a Python container size");
        return -1;
    }
    return static_cast<Py_ssize_t>(n);
}

Py_ssize_t chain_len(PyObject* self) noexcept {
    return guarded([&]() -> Py_ssize_t { return length_of(chain_of(self).len()); });
}

using ChainPtr = std::shared_ptr<pq::SignedAuditChain>;

PyMethodDef g_chain_methods[] = {
    {"append", as_cfunction(&chain_append), METH_VARARGS | METH_KEYWORDS, kChainAppendDoc},
    {"verify", as_cfunction(&chain_verify), METH_VARARGS | METH_KEYWORDS, kChainVerifyDoc},
    {"export_jsonl", as_cfunction(&chain_export), METH_NOARGS, kChainExportDoc},
    {"verify_jsonl", as_cfunction(&chain_verify_jsonl), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     kChainVerifyJsonlDoc},
    {"prune_before", as_cfunction(&chain_prune_before), METH_VARARGS | METH_KEYWORDS, kChainPruneDoc},
    {"entries_since_jsonl", as_cfunction(&chain_entries_since_jsonl), METH_VARARGS | METH_KEYWORDS,
     kChainEntriesSinceDoc},
    {"verify_jsonl_segments", as_cfunction(&chain_verify_segments), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     kChainSegmentsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_chain_getset[] = {
    {"length", getter<SignedAuditChainObject, [](const ChainPtr& c) { return to_py(c->len()); }>, nullptr,
     "Number of entries ever appended.", nullptr},
    {"is_empty", getter<SignedAuditChainObject, [](const ChainPtr& c) { return to_py(c->is_empty()); }>, nullptr,
     "True when nothing was ever appended (pruning does not empty a chain).", nullptr},
    {"head_hash", getter<SignedAuditChainObject, [](const ChainPtr& c) { return to_py(c->head_hash()); }>, nullptr,
     "The entry hash of the newest entry, or \"genesis\".", nullptr},
    {"is_hybrid", getter<SignedAuditChainObject, [](const ChainPtr& c) { return to_py(c->is_hybrid()); }>, nullptr,
     "Whether the chain signs in hybrid (ML-DSA + Ed25519) mode.", nullptr},
    {"base_index", getter<SignedAuditChainObject, [](const ChainPtr& c) { return to_py(c->base_index()); }>, nullptr,
     "Logical index of the oldest entry still in memory (0 until the first prune_before).", nullptr},
    {"resident_entries",
     getter<SignedAuditChainObject, [](const ChainPtr& c) { return to_py(c->resident_entries()); }>, nullptr,
     "Number of entries in memory (length - base_index).", nullptr},
    {"anchor_hash", getter<SignedAuditChainObject, [](const ChainPtr& c) { return to_py(c->anchor_hash()); }>,
     nullptr,
     "The previous_hash the oldest retained entry chains from: the anchor for verifying the\n"
     "in-memory tail alone with verify_jsonl_segments.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// ManagedAuditChain

const char kManagedDoc[] =
    "ManagedAuditChain(keypair, sink_path, hybrid=True, max_entries=None, max_bytes=None, "
    "flush_interval_secs=None, min_retained=256, on_sink_failure=..., buffer_ceiling=1000000)\n--\n\n"
    "A SignedAuditChain whose resident memory stays bounded by durably evicting old entries to a\n"
    "JSON Lines file (sink_path) under a retention policy.\n"
    "\n"
    "A background worker moves old entries to disk and prunes them from memory. The triggers\n"
    "max_entries, max_bytes and flush_interval_secs can be combined. Eviction is transactional:\n"
    "entries are pruned only after the file write has been flushed to disk. on_sink_failure\n"
    "(\"buffer\", the default, or \"reject\") chooses the backpressure mode while the disk is\n"
    "unavailable. The full chain verifies by passing the file's bytes followed by\n"
    "export_tail_jsonl() to SignedAuditChain.verify_jsonl. Dropping the object writes every\n"
    "remaining entry to the file (when it can) before it returns.";

const char kManagedAppendDoc[] =
    "append($self, entry)\n--\n\n"
    "Append an AuditEntry and return the new total chain length. Raises RuntimeError if\n"
    "backpressure refuses the append (sink unavailable and buffer full).";
const char kManagedFlushDoc[] =
    "flush($self)\n--\n\n"
    "Run one flush-then-prune cycle now and return the number of entries evicted to disk.";
const char kManagedDrainDoc[] =
    "drain($self)\n--\n\n"
    "Flush everything, ignoring min_retained, and return the number of entries evicted.";
const char kManagedExportDoc[] =
    "export_tail_jsonl($self)\n--\n\n"
    "Export the in-memory tail as JSON Lines, to be appended after the file's bytes for\n"
    "verification.";
const char kManagedStatsDoc[] =
    "stats($self)\n--\n\n"
    "A snapshot of the chain's counters as a dict.";

pq::ManagedAuditChain& managed_of(PyObject* self) { return *as<ManagedAuditChainObject>(self)->value(); }

// Seconds as a whole number of nanoseconds; absent for values a duration
// cannot hold (negative, NaN, infinite or too large).
std::optional<std::chrono::nanoseconds> seconds_to_duration(double secs) {
    if (!std::isfinite(secs) || secs < 0) return std::nullopt;
    const double nanos = std::round(secs * 1e9);
    if (nanos >= 9.2e18) return std::nullopt;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(nanos));
}

PyObject* managed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("ManagedAuditChain.__new__", kManagedDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        OstrelKeyPairObject* kp = nullptr;
        std::string sink_path;
        bool hybrid = true;
        std::optional<std::uint64_t> max_entries, max_bytes;
        std::optional<double> flush_interval_secs;
        std::uint64_t min_retained = 256;
        std::string on_sink_failure = "buffer";
        std::uint64_t buffer_ceiling = 1'000'000;
        if (!a.get(0, kp) || !a.get(1, sink_path) || !a.get(2, hybrid) || !a.get(3, max_entries) ||
            !a.get(4, max_bytes) || !a.get(5, flush_interval_secs) || !a.get(6, min_retained) ||
            !a.get(7, on_sink_failure) || !a.get(8, buffer_ceiling))
            return nullptr;

        pq::ManagedConfig cfg;
        if (on_sink_failure == "buffer") {
            cfg.on_sink_failure = pq::SinkFailureMode::Buffer;
        } else if (on_sink_failure == "reject") {
            cfg.on_sink_failure = pq::SinkFailureMode::Reject;
        } else {
            return raise(PyExc_ValueError,
                         "on_sink_failure must be 'buffer' or 'reject', got '" + on_sink_failure + "'");
        }
        if (flush_interval_secs) {
            auto d = seconds_to_duration(*flush_interval_secs);
            if (!d) {
                return raise_internal_fault(
                    "flush_interval_secs cannot be converted to a duration: it must be finite, non-negative and "
                    "below about 292 years, got " +
                    std::to_string(*flush_interval_secs));
            }
            cfg.flush_interval = *d;
        }
        cfg.max_entries = max_entries;
        cfg.max_bytes = max_bytes;
        cfg.min_retained = min_retained;
        cfg.buffer_ceiling = buffer_ceiling;
        auto chain = std::make_unique<pq::ManagedAuditChain>(pq::Signer::from_keypair(*kp->value(), hybrid),
                                                             std::make_shared<pq::FileAuditSink>(sink_path), cfg);
        return make_instance<ManagedAuditChainObject>(type, std::move(chain));
    });
}

PyObject* managed_append(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("ManagedAuditChain.append", kManagedAppendDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        AuditEntryObject* entry = nullptr;
        if (!a.get(0, entry)) return nullptr;
        auto r = managed_of(self).append(entry->value());
        if (!r) return raise_error(PyExc_RuntimeError, "append failed", r.error());
        return to_py(static_cast<std::uint64_t>(r->index + 1));
    });
}

PyObject* managed_flush(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto r = managed_of(self).flush();
        if (!r) return raise_error(PyExc_RuntimeError, "flush failed", r.error());
        return to_py(*r);
    });
}

PyObject* managed_drain(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto r = managed_of(self).drain();
        if (!r) return raise_error(PyExc_RuntimeError, "drain failed", r.error());
        return to_py(*r);
    });
}

PyObject* managed_export(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto text = managed_of(self).export_tail_jsonl();
        if (!text) return raise_error(PyExc_RuntimeError, "export", text.error());
        return jsonl_to_py(*text);
    });
}

PyObject* managed_stats(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const pq::ManagedStats s = managed_of(self).stats();
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        auto put = [&](const char* key, PyObject* value) {
            Ref v = Ref::steal(value);
            return v && PyDict_SetItemString(dict.get(), key, v.get()) == 0;
        };
        if (!put("entries_appended", to_py(s.entries_appended)) || !put("entries_evicted", to_py(s.entries_evicted)) ||
            !put("resident_entries", to_py(s.resident_entries)) || !put("resident_bytes", to_py(s.resident_bytes)) ||
            !put("sink_failures", to_py(s.sink_failures)) || !put("sink_healthy", to_py(s.sink_healthy)) ||
            !put("last_flush_index", to_py(s.last_flush_index)))
            return nullptr;
        return dict.release();
    });
}

Py_ssize_t managed_len(PyObject* self) noexcept {
    return guarded([&]() -> Py_ssize_t { return length_of(managed_of(self).len()); });
}

// Dropping the chain stops its worker after the final flush and joins it.
// The worker never calls into Python, so waiting for it with the
// interpreter lock held cannot deadlock.
void managed_dealloc(PyObject* self) noexcept { dealloc<ManagedAuditChainObject>(self); }

using ManagedPtr = std::unique_ptr<pq::ManagedAuditChain>;

PyMethodDef g_managed_methods[] = {
    {"append", as_cfunction(&managed_append), METH_VARARGS | METH_KEYWORDS, kManagedAppendDoc},
    {"flush", as_cfunction(&managed_flush), METH_NOARGS, kManagedFlushDoc},
    {"drain", as_cfunction(&managed_drain), METH_NOARGS, kManagedDrainDoc},
    {"export_tail_jsonl", as_cfunction(&managed_export), METH_NOARGS, kManagedExportDoc},
    {"stats", as_cfunction(&managed_stats), METH_NOARGS, kManagedStatsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_managed_getset[] = {
    {"length", getter<ManagedAuditChainObject, [](const ManagedPtr& c) { return to_py(c->len()); }>, nullptr, nullptr,
     nullptr},
    {"is_empty", getter<ManagedAuditChainObject, [](const ManagedPtr& c) { return to_py(c->is_empty()); }>, nullptr,
     nullptr, nullptr},
    {"head_hash", getter<ManagedAuditChainObject, [](const ManagedPtr& c) { return to_py(c->head_hash()); }>,
     nullptr, nullptr, nullptr},
    {"base_index", getter<ManagedAuditChainObject, [](const ManagedPtr& c) { return to_py(c->base_index()); }>,
     nullptr, nullptr, nullptr},
    {"resident_entries",
     getter<ManagedAuditChainObject, [](const ManagedPtr& c) { return to_py(c->resident_entries()); }>, nullptr,
     nullptr, nullptr},
    {"resident_bytes",
     getter<ManagedAuditChainObject, [](const ManagedPtr& c) { return to_py(c->resident_bytes()); }>, nullptr,
     nullptr, nullptr},
    {"anchor_hash", getter<ManagedAuditChainObject, [](const ManagedPtr& c) { return to_py(c->anchor_hash()); }>,
     nullptr, nullptr, nullptr},
    {"is_hybrid", getter<ManagedAuditChainObject, [](const ManagedPtr& c) { return to_py(c->is_hybrid()); }>,
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool register_audit_entry(PyObject* module) {
    return register_class<AuditEntryObject>(
        module, ClassSpec{.name = "AuditEntry",
                          .doc = kAuditEntryDoc,
                          .basicsize = static_cast<int>(sizeof(AuditEntryObject)),
                          .tp_new = &audit_entry_new,
                          .tp_dealloc = &dealloc<AuditEntryObject>,
                          .getset = g_audit_entry_getset,
                          .repr = &audit_entry_repr});
}

bool register_signed_audit_chain(PyObject* module) {
    return register_class<SignedAuditChainObject>(
        module, ClassSpec{.name = "SignedAuditChain",
                          .doc = kChainDoc,
                          .basicsize = static_cast<int>(sizeof(SignedAuditChainObject)),
                          .tp_new = &chain_new,
                          .tp_dealloc = &dealloc<SignedAuditChainObject>,
                          .methods = g_chain_methods,
                          .getset = g_chain_getset,
                          .extra_slots = {{Py_mp_length, reinterpret_cast<void*>(&chain_len)}}});
}

bool register_managed_audit_chain(PyObject* module) {
    return register_class<ManagedAuditChainObject>(
        module, ClassSpec{.name = "ManagedAuditChain",
                          .doc = kManagedDoc,
                          .basicsize = static_cast<int>(sizeof(ManagedAuditChainObject)),
                          .tp_new = &managed_new,
                          .tp_dealloc = &managed_dealloc,
                          .methods = g_managed_methods,
                          .getset = g_managed_getset,
                          .extra_slots = {{Py_mp_length, reinterpret_cast<void*>(&managed_len)}}});
}

}  // namespace ostrel_py
