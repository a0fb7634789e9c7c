#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "test_audit_support.hpp"
#include "pq/crypto/sha256.hpp"
#include "util/uuid.hpp"

namespace ostrel_pq {
namespace {

using ostrel_core::AuditEntry;
using testing::error_text;
using testing::join_lines;
using testing::make_chain;
using testing::sample_entry;
using testing::shared_keypair;
using testing::split_lines;
using testing::verifier_for;

ostrel_util::Uuid uuid(std::string_view s) { return *ostrel_util::Uuid::parse(s); }

AuditEntry fixed_entry() {
    AuditEntry e;
    e.id = uuid("11111111-2222-4333-8444-555555555555");
    e.evaluation_id = uuid("aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
    e.timestamp = *Timestamp::from_unix(1735787045, 0);
    e.principal_id = "agent-7";
    e.action_name = "db.read";
    e.verdict = "refuse";
    e.verdict_detail = "no match";
    e.session_id = uuid("01234567-89ab-4cde-8f01-23456789abcd");
    return e;
}

// ---- AuditEntry JSON ------------------------------------------------------------

TEST(AuditEntryJson, AbsentOptionalsAreNullAndKeysKeepTheirOrder) {
    EXPECT_EQ(fixed_entry().to_json(),
              R"({"id":"11111111-2222-4333-8444-555555555555","evaluation_id":"aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee",)"
              R"("timestamp":"2025-01-02T03:04:05Z","principal_id":"agent-7","action_name":"db.read","resource":null,)"
              R"("verdict":"refuse","verdict_detail":"no match","decided_by":null,)"
              R"("session_id":"01234567-89ab-4cde-8f01-23456789abcd","ip":null,"context_snapshot":null})");
}

TEST(AuditEntryJson, PresentOptionalsAndSnapshotAreWritten) {
    AuditEntry e = fixed_entry();
    e.resource = "orders/1";
    e.decided_by = "policy";
    e.ip = "2001:db8::1";
    e.context_snapshot = std::make_shared<const nlohmann::json>(nlohmann::json::parse(R"({"a": [1, 2]})"));
    const std::string json = e.to_json();
    EXPECT_NE(json.find(R"("resource":"orders/1","verdict":"refuse")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("decided_by":"policy","session_id")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("ip":"2001:db8::1","context_snapshot":{"a":[1,2]}})"), std::string::npos) << json;
}

TEST(AuditEntryJson, TimestampFractionIsTheShortestExactOne) {
    struct Case {
        std::uint32_t nanos;
        const char* text;
    };
    for (const Case& c : {Case{0, "2025-01-02T03:04:05Z"}, Case{500'000'000, "2025-01-02T03:04:05.500Z"},
                          Case{1'000, "2025-01-02T03:04:05.000001Z"}, Case{7, "2025-01-02T03:04:05.000000007Z"},
                          Case{120'000'000, "2025-01-02T03:04:05.120Z"}}) {
        AuditEntry e = fixed_entry();
        e.timestamp = *Timestamp::from_unix(1735787045, c.nanos);
        EXPECT_NE(e.to_json().find(std::string(R"("timestamp":")") + c.text + "\""), std::string::npos) << c.nanos;
    }
}

TEST(AuditEntryJson, EscapesOnlyWhatJsonRequires) {
    AuditEntry e = fixed_entry();
    e.principal_id = "a\"b\\c\nd\te\x01/Zoë";
    EXPECT_NE(e.to_json().find(R"("principal_id":"a\"b\\c\nd\te\u0001/Zoë")"), std::string::npos) << e.to_json();
}

TEST(AuditEntryJson, MadeEntriesHaveFreshIdsAndNoOptionals) {
    const AuditEntry a = AuditEntry::make("p", "act", "permit", "d");
    const AuditEntry b = AuditEntry::make("p", "act", "permit", "d");
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(a.evaluation_id, b.evaluation_id);
    EXPECT_NE(a.session_id, b.session_id);
    EXPECT_EQ(a.id.version(), 4u);
    EXPECT_FALSE(a.resource || a.decided_by || a.ip || a.context_snapshot);
}

// ---- chain basics ------------------------------------------------------------------

TEST(SignedAuditChain, NewChainIsEmptyAtGenesis) {
    SignedAuditChain chain(Signer::from_keypair(shared_keypair(), true));
    EXPECT_EQ(chain.len(), 0u);
    EXPECT_TRUE(chain.is_empty());
    EXPECT_EQ(chain.head_hash(), "genesis");
    EXPECT_EQ(chain.anchor_hash(), "genesis");
    EXPECT_EQ(chain.base_index(), 0u);
    EXPECT_EQ(*chain.export_jsonl(), "");
    EXPECT_EQ(error_text(verify_chain(chain.entries(), verifier_for(true))), "ok");
    EXPECT_EQ(chain.resident_bytes(), 0u);
}

// The chain hash, computed here from its definition in one buffer.
std::string reference_hash(std::uint64_t index, const std::string& prev, const SignedPayload& p) {
    Bytes buf;
    for (int i = 0; i < 8; ++i) buf.push_back(static_cast<std::uint8_t>(index >> (8 * i)));
    buf.insert(buf.end(), prev.begin(), prev.end());
    buf.insert(buf.end(), p.data.begin(), p.data.end());
    buf.insert(buf.end(), p.ml_dsa_signature.begin(), p.ml_dsa_signature.end());
    if (p.ed25519_signature) buf.insert(buf.end(), p.ed25519_signature->begin(), p.ed25519_signature->end());
    buf.insert(buf.end(), p.nonce.begin(), p.nonce.end());
    const std::string when = p.signed_at.to_rfc3339_offset();
    buf.insert(buf.end(), when.begin(), when.end());
    auto d = crypto::sha256(buf);
    std::string hex;
    for (auto b : *d) {
        static const char* k = "0123456789abcdef";
        hex += k[b >> 4];
        hex += k[b & 15];
    }
    return hex;
}

TEST(SignedAuditChain, AppendsLinkEntriesByTheirHashes) {
    for (bool hybrid : {true, false}) {
        SignedAuditChain chain(Signer::from_keypair(shared_keypair(), hybrid));
        std::vector<AuditEntry> appended;
        for (int i = 0; i < 3; ++i) {
            appended.push_back(sample_entry(i));
            auto r = chain.append(appended.back());
            ASSERT_TRUE(r) << r.error().display();
            EXPECT_EQ(r->index, static_cast<std::uint64_t>(i));
        }
        const auto entries = chain.entries();
        ASSERT_EQ(entries.size(), 3u);
        EXPECT_EQ(entries[0].previous_hash, "genesis");
        for (int i = 0; i < 3; ++i) {
            const auto& e = entries[i];
            EXPECT_EQ(e.index, static_cast<std::uint64_t>(i));
            if (i > 0) {
                EXPECT_EQ(e.previous_hash, entries[i - 1].entry_hash);
            }
            EXPECT_EQ(e.entry_hash, reference_hash(e.index, e.previous_hash, e.signed_payload));
            EXPECT_EQ(e.entry_hash, compute_chain_hash(e.index, e.previous_hash, e.signed_payload));
            EXPECT_EQ(e.entry_hash.size(), 64u);
            // The payload is the entry's JSON form, and the mode is the signer's.
            EXPECT_EQ(testing::text_of(e.signed_payload.data), appended[i].to_json());
            EXPECT_EQ(e.signed_payload.ed25519_signature.has_value(), hybrid);
            EXPECT_EQ(e.signed_payload.key_id, shared_keypair().id());
        }
        EXPECT_EQ(chain.head_hash(), entries[2].entry_hash);
        EXPECT_EQ(chain.len(), 3u);
        EXPECT_EQ(chain.is_hybrid(), hybrid);
        EXPECT_EQ(error_text(verify_chain(entries, verifier_for(hybrid))), "ok");
    }
}

TEST(SignedAuditChain, ResidentBytesFollowTheEstimate) {
    SignedAuditChain chain(Signer::from_keypair(shared_keypair(), true));
    const auto entries = make_chain(3, true, &chain);
    std::uint64_t sum = 0;
    for (const auto& e : entries) {
        const auto& p = e.signed_payload;
        const std::uint64_t expected = 96 + e.previous_hash.size() + 64 + p.data.size() + 3309 + 64 + 47 + 36;
        EXPECT_EQ(e.resident_estimate(), expected);
        sum += expected;
    }
    EXPECT_EQ(chain.resident_bytes(), sum);
    const ResidentStats rs = chain.resident_stats();
    EXPECT_EQ(rs.entries, 3u);
    EXPECT_EQ(rs.bytes, sum);
    chain.prune_before(1);
    EXPECT_EQ(chain.resident_bytes(), sum - entries[0].resident_estimate());
}

TEST(SignedAuditChain, PruneKeepsLengthHeadAndAnchorsTheTail) {
    SignedAuditChain chain(Signer::from_keypair(shared_keypair(), true));
    const auto all = make_chain(3, true, &chain);
    const std::string head = chain.head_hash();

    EXPECT_EQ(chain.prune_before(2), 2u);
    EXPECT_EQ(chain.len(), 3u);
    EXPECT_FALSE(chain.is_empty());
    EXPECT_EQ(chain.base_index(), 2u);
    EXPECT_EQ(chain.resident_entries(), 1u);
    EXPECT_EQ(chain.head_hash(), head);
    EXPECT_EQ(chain.anchor_hash(), all[1].entry_hash);
    EXPECT_EQ(chain.prune_before(1), 0u);  // below the base: nothing

    const auto tail = chain.entries();
    auto full = verify_chain(tail, verifier_for(true));
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().entry_index, 0u);
    EXPECT_EQ(full.error().display(),
              "audit chain broken at entry 0: full-chain verification expects the chain to start at index 0, got 2");
    EXPECT_EQ(error_text(verify_chain_from(tail, verifier_for(true), chain.anchor_hash())), "ok");

    // entries_since: evicted indexes are refused, the end is empty.
    auto evicted = chain.entries_since(1);
    ASSERT_FALSE(evicted);
    EXPECT_EQ(evicted.error().display(),
              "audit chain broken at entry 1: entries_since(1) requested an evicted index; base_index is 2");
    EXPECT_EQ(chain.entries_since(3)->size(), 0u);
    EXPECT_EQ(chain.entries_since(2)->size(), 1u);

    // Pruning past the end empties memory; the anchor becomes the head and
    // the next append continues the same chain.
    EXPECT_EQ(chain.prune_before(100), 1u);
    EXPECT_EQ(chain.resident_entries(), 0u);
    EXPECT_EQ(chain.resident_bytes(), 0u);
    EXPECT_EQ(chain.anchor_hash(), head);
    EXPECT_EQ(chain.base_index(), 3u);
    auto next = chain.append(sample_entry(9));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->index, 3u);
    EXPECT_EQ(next->previous_hash, head);
    std::vector<std::vector<SignedAuditEntry>> segments{all, chain.entries()};
    EXPECT_EQ(error_text(verify_segments(segments, verifier_for(true))), "ok");
}

TEST(SignedAuditChain, SignerErrorLeavesTheChainUnchanged) {
    // A key pair whose ML-DSA seed has the wrong length cannot sign.
    auto blob = shared_keypair().to_secret_bytes();
    ASSERT_TRUE(blob);
    std::string text(blob->begin() + 5, blob->end());
    auto v = nlohmann::json::parse(text);
    v["ml_dsa_signing_key"] = nlohmann::json::array({1, 2, 3});
    std::string patched = "OSSK";
    patched += '\x01';
    patched += v.dump();
    auto broken = OstrelKeyPair::from_secret_bytes(testing::bytes_of(patched));
    ASSERT_TRUE(broken) << broken.error().display();
    SignedAuditChain chain(Signer::from_keypair(*broken, true));
    auto r = chain.append(sample_entry(0));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "key generation failed: ML-DSA seed must be 32 bytes, got 3");
    EXPECT_EQ(chain.len(), 0u);
    EXPECT_EQ(chain.head_hash(), "genesis");
}

TEST(SignedAuditChain, ConcurrentAppendsGetConsecutiveIndexes) {
    SignedAuditChain chain(Signer::from_keypair(shared_keypair(), true));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&chain, t] {
            for (int i = 0; i < 5; ++i) ASSERT_TRUE(chain.append(sample_entry(t * 10 + i)));
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(chain.len(), 20u);
    const auto entries = chain.entries();
    for (std::size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].index, i);
    EXPECT_EQ(error_text(verify_chain(entries, verifier_for(true))), "ok");
}

// ---- JSON Lines ----------------------------------------------------------------------

TEST(AuditJsonl, ExportParsesBackToTheSameEntries) {
    for (bool hybrid : {true, false}) {
        const auto entries = make_chain(3, hybrid);
        auto text = export_jsonl(entries);
        ASSERT_TRUE(text);
        EXPECT_EQ(text->back(), '\n');
        const auto lines = split_lines(*text);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].rfind(R"({"index":0,"previous_hash":"genesis","signed_payload":{"data":[)", 0), 0u);
        EXPECT_EQ(lines[0], entries[0].to_json());
        auto back = parse_jsonl(*text);
        ASSERT_TRUE(back) << back.error().display();
        EXPECT_EQ(*back, entries);
    }
    EXPECT_EQ(*export_jsonl({}), "");
    EXPECT_EQ(parse_jsonl(std::string_view()).value().size(), 0u);
}

TEST(AuditJsonl, CrlfBlankLinesAndAMissingLastLineFeedReadTheSame) {
    const auto entries = make_chain(3, true);
    const auto lines = split_lines(*export_jsonl(entries));
    const std::string crlf = lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2] + "\r\n";
    const std::string blanks = "\n  \t\n" + lines[0] + "\n\r\n\f\n" + lines[1] + "\n\n" + lines[2];
    for (const std::string& text : {crlf, blanks}) {
        auto back = parse_jsonl(text);
        ASSERT_TRUE(back) << back.error().display();
        EXPECT_EQ(*back, entries);
    }
}

// Forms this system never writes (other key orders, spacing, escapes,
// unknown keys) read exactly like the compact form.
TEST(AuditJsonl, OtherSpellingsOfTheSameEntryReadTheSame) {
    const auto entries = make_chain(2, true);
    std::vector<std::function<std::string(const SignedAuditEntry&)>> spellings = {
        [](const SignedAuditEntry& e) { return nlohmann::json::parse(e.to_json()).dump(2); },
        [](const SignedAuditEntry& e) {
            auto v = nlohmann::json::parse(e.to_json());
            v["extra"] = {{"x", 1}};
            v["signed_payload"]["also"] = "ignored";
            return v.dump();  // nlohmann sorts the keys: another order
        },
        [](const SignedAuditEntry& e) {
            std::string s = e.to_json();
            const auto pos = s.find("\"key_id\":\"o");
            return s.replace(pos, 11, "\"key_id\":\"\\u006f");
        },
        [](const SignedAuditEntry& e) { return "  " + e.to_json() + " \t"; },
    };
    for (std::size_t k = 0; k < spellings.size(); ++k) {
        std::string text;
        for (const auto& e : entries) {
            std::string line = spellings[k](e);
            // Pretty-printed JSON spans several lines; keep one entry per line.
            for (char& c : line)
                if (c == '\n') c = ' ';
            text += line + "\n";
        }
        auto back = parse_jsonl(text);
        ASSERT_TRUE(back) << k << ": " << back.error().display();
        EXPECT_EQ(*back, entries) << k;
    }
}

TEST(AuditJsonl, ParseFailureNamesTheNonBlankPositionAndTheReadersMessage) {
    const auto lines = split_lines(*export_jsonl(make_chain(3, false)));
    struct Case {
        std::string bad_line;
    };
    auto v = nlohmann::json::parse(lines[2]);
    v.erase("entry_hash");
    const std::string missing = v.dump();
    auto w = nlohmann::json::parse(lines[2]);
    w["signed_payload"]["data"][0] = 256;
    const std::string out_of_range = w.dump();
    for (const std::string& bad : {std::string("{not json"), missing, out_of_range, lines[2] + "}",
                                   std::string(R"({"index":-1})")}) {
        const std::string text = lines[0] + "\n\n" + lines[1] + "\n   \n" + bad + "\n" + lines[2] + "\n";
        auto r = parse_jsonl(text, Parallelism{3});
        ASSERT_FALSE(r) << bad;
        const auto reader = SignedAuditEntry::from_json(bad);
        ASSERT_FALSE(reader);
        EXPECT_EQ(r.error().display(), "serialization error: parse failed at entry #2: " + reader.error().message);
        EXPECT_EQ(r.error().kind, PqErrorKind::Serialization);
    }
    auto r = parse_jsonl(join_lines({lines[0], v.dump()}));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().detail, "parse failed at entry #1: missing field `entry_hash`");
}

TEST(AuditJsonl, DetectModeReadsPayloadsAlone) {
    EXPECT_FALSE(detect_mode({}).value().has_value());
    EXPECT_EQ(*detect_mode(make_chain(2, true)).value(), ChainMode::Hybrid);
    EXPECT_EQ(*detect_mode(make_chain(2, false)).value(), ChainMode::PqOnly);
    EXPECT_EQ(chain_mode_text(ChainMode::PqOnly), "pq-only");
    EXPECT_EQ(chain_mode_text(ChainMode::Hybrid), "hybrid");
}

// ---- tampering --------------------------------------------------------------------------

struct Tamper {
    const char* name;
    std::function<void(SignedAuditEntry&)> change;
    std::uint64_t index;         // where verification must fail
    std::string text_prefix;     // what it must say
};

TEST(AuditVerify, EveryChangedFieldFailsAtItsEntry) {
    const auto entries = make_chain(5, true);
    const std::string entry1_hash = entries[1].entry_hash;
    const std::vector<Tamper> cases = {
        {"data byte", [](SignedAuditEntry& e) { e.signed_payload.data[10] ^= 1; }, 2,
         "signature verification failed: signature verification failed: ML-DSA: "},
        {"ML-DSA signature byte", [](SignedAuditEntry& e) { e.signed_payload.ml_dsa_signature[100] ^= 1; }, 2,
         "signature verification failed: signature verification failed: ML-DSA"},
        {"Ed25519 signature byte", [](SignedAuditEntry& e) { (*e.signed_payload.ed25519_signature)[5] ^= 1; }, 2,
         "signature verification failed: signature verification failed: Ed25519: "},
        {"nonce", [](SignedAuditEntry& e) { e.signed_payload.nonce[0] = e.signed_payload.nonce[0] == 'a' ? 'b' : 'a'; },
         2, "signature verification failed: signature verification failed: ML-DSA: "},
        {"signing time", [](SignedAuditEntry& e) {
             e.signed_payload.signed_at = *e.signed_payload.signed_at.checked_add_nanos(1);
         }, 2, "signature verification failed: signature verification failed: ML-DSA: "},
        {"Ed25519 signature removed", [](SignedAuditEntry& e) { e.signed_payload.ed25519_signature.reset(); }, 2,
         "chain mode inconsistent: started as hybrid, entry is pq-only (possible splice)"},
        {"previous hash", [](SignedAuditEntry& e) { e.previous_hash[3] = e.previous_hash[3] == '0' ? '1' : '0'; }, 2,
         "hash chain broken: expected '" + entry1_hash + "', got '"},
        {"entry hash", [](SignedAuditEntry& e) { e.entry_hash[0] = e.entry_hash[0] == '0' ? '1' : '0'; }, 2,
         "entry hash mismatch"},
        {"index", [](SignedAuditEntry& e) { e.index = 7; }, 2, "expected index 2, got 7"},
    };
    for (const auto& c : cases) {
        for (unsigned threads : {1u, 0u}) {
            auto copy = entries;
            c.change(copy[2]);
            // Through the file form too: a changed line reads back as changed.
            auto parsed = parse_jsonl(*export_jsonl(copy));
            ASSERT_TRUE(parsed) << c.name;
            auto r = verify_chain(*parsed, verifier_for(true), Parallelism{threads});
            ASSERT_FALSE(r) << c.name;
            EXPECT_EQ(r.error().kind, PqErrorKind::AuditChainBroken) << c.name;
            EXPECT_EQ(r.error().entry_index, c.index) << c.name;
            EXPECT_EQ(r.error().detail.rfind(c.text_prefix, 0), 0u) << c.name << ": " << r.error().display();
        }
    }
}

TEST(AuditVerify, SwappedDeletedAndShiftedLinesFailAtTheFirstChange) {
    const auto lines = split_lines(*export_jsonl(make_chain(4, true)));
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"swap 1 and 2", {lines[0], lines[2], lines[1], lines[3]},
         "audit chain broken at entry 1: expected index 1, got 2"},
        {"delete 2", {lines[0], lines[1], lines[3]}, "audit chain broken at entry 2: expected index 2, got 3"},
        {"first line not index 0", {lines[1], lines[2], lines[3]},
         "audit chain broken at entry 0: full-chain verification expects the chain to start at index 0, got 1"},
        {"delete last", {lines[0], lines[1], lines[2]}, "ok"},
    };
    for (const auto& c : cases) {
        auto parsed = parse_jsonl(join_lines(c.lines));
        ASSERT_TRUE(parsed);
        EXPECT_EQ(error_text(verify_chain(*parsed, verifier_for(true))), c.message) << c.name;
    }
}

TEST(AuditVerify, ModesMustAgreeWithEachOtherAndTheVerifier) {
    const auto hybrid = make_chain(3, true);
    const auto pq = make_chain(2, false);
    EXPECT_EQ(error_text(verify_chain(hybrid, verifier_for(false))),
              "audit chain broken at entry 0: verifier/chain mode mismatch: chain is hybrid, verifier is pq-only");
    EXPECT_EQ(error_text(verify_chain(pq, verifier_for(true))),
              "audit chain broken at entry 0: verifier/chain mode mismatch: chain is pq-only, verifier is hybrid");
    // PQ-only lines spliced after a hybrid export, relabelled to continue it.
    auto spliced = hybrid;
    auto extra = pq[1];
    extra.index = 3;
    spliced.push_back(extra);
    auto r = verify_chain(spliced, verifier_for(true));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(),
              "audit chain broken at entry 3: chain mode inconsistent: started as hybrid, entry is pq-only (possible "
              "splice)");
    EXPECT_EQ(detect_mode(spliced).error(), r.error());
    // Another signer's key fails the signature check at the first entry.
    auto other = verify_chain(hybrid, verifier_for(true, testing::other_keypair()));
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error().entry_index, 0u);
    EXPECT_EQ(other.error().detail.rfind("signature verification failed: ", 0), 0u);
}

TEST(AuditVerify, ParallelChecksReportTheFirstFailureInChainOrder) {
    const auto entries = make_chain(40, false);
    struct Case {
        const char* name;
        std::vector<std::size_t> bad_signatures;
        std::optional<std::size_t> bad_link;
        std::uint64_t expected_index;
    };
    const std::vector<Case> cases = {
        {"signatures only", {31, 9, 22}, std::nullopt, 9},
        {"link before a signature", {25}, 10, 10},
        {"signature before a link", {8, 30}, 10, 8},
        {"last entry", {39}, std::nullopt, 39},
        {"link at the end", {}, 39, 39},
    };
    for (const auto& c : cases) {
        auto copy = entries;
        for (std::size_t i : c.bad_signatures) copy[i].signed_payload.ml_dsa_signature[7] ^= 0x40;
        if (c.bad_link) copy[*c.bad_link].previous_hash = std::string(64, 'f');
        auto sequential = verify_chain(copy, verifier_for(false), Parallelism{1});
        ASSERT_FALSE(sequential) << c.name;
        EXPECT_EQ(sequential.error().entry_index, c.expected_index) << c.name;
        for (unsigned threads : {2u, 3u, 8u}) {
            auto parallel = verify_chain(copy, verifier_for(false), Parallelism{threads});
            ASSERT_FALSE(parallel) << c.name;
            EXPECT_EQ(parallel.error(), sequential.error()) << c.name << " with " << threads << " threads";
        }
    }
}

// ---- segments ---------------------------------------------------------------------------

TEST(AuditVerify, SegmentsMustJoinAtIndexAndHash) {
    const auto all = make_chain(6, true);
    const std::vector<SignedAuditEntry> a(all.begin(), all.begin() + 3);
    const std::vector<SignedAuditEntry> b(all.begin() + 3, all.end());
    const std::vector<SignedAuditEntry> none;
    auto verify = [](std::vector<std::vector<SignedAuditEntry>> segs) {
        return error_text(verify_segments(segs, verifier_for(true)));
    };
    EXPECT_EQ(verify({a, b}), "ok");
    EXPECT_EQ(verify({none, a, none, b, none}), "ok");
    EXPECT_EQ(verify({}), "ok");
    EXPECT_EQ(verify({a}), "ok");  // the last segment may end anywhere
    EXPECT_EQ(verify({b}),
              "audit chain broken at entry 0: segment boundary mismatch: expected next index 0, segment starts at 3");
    const std::vector<SignedAuditEntry> b_late(all.begin() + 4, all.end());
    EXPECT_EQ(verify({a, b_late}),
              "audit chain broken at entry 3: segment boundary mismatch: expected next index 3, segment starts at 4");
    // A second segment from another chain starts at the right index but does
    // not chain from the first one's last hash.
    const auto other = make_chain(6, true);
    const std::vector<SignedAuditEntry> foreign(other.begin() + 3, other.end());
    EXPECT_EQ(verify({a, foreign}), "audit chain broken at entry 3: hash chain broken: expected '" +
                                        a.back().entry_hash + "', got '" + other[2].entry_hash + "'");
}

}  // namespace
}  // namespace ostrel_pq
