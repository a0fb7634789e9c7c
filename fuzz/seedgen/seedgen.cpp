// Writes the seed corpora of the fuzz harnesses from real objects made by the
// library's own writers: fuzz_seedgen <corpus-dir>. Each harness gets a few
// small, valid inputs (pq-only and hybrid forms, optional fields present and
// absent) so that mutation starts from the accepted grammar.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "../fuzz_root_key.hpp"
#include "core/context.hpp"
#include "core/verdict.hpp"
#include "pq/audit.hpp"
#include "pq/channel.hpp"
#include "pq/directory.hpp"
#include "pq/encrypt.hpp"
#include "pq/keys.hpp"
#include "pq/sign.hpp"
#include "pq/token.hpp"
#include "util/time.hpp"

namespace fs = std::filesystem;
using ostrel_pq::Bytes;

namespace {

fs::path g_root;

void put(std::string_view harness, std::string_view name, std::string_view bytes) {
    const fs::path dir = g_root / harness;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void put_bytes(std::string_view harness, std::string_view name, const std::uint8_t* p, std::size_t n) {
    put(harness, name, std::string_view(reinterpret_cast<const char*>(p), n));
}

template <class T>
T must(std::expected<T, ostrel_pq::PqError> r) {
    if (!r) {
        std::fprintf(stderr, "seedgen: %s\n", r.error().display().c_str());
        std::exit(1);
    }
    return std::move(*r);
}

Bytes text_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seedgen <corpus-dir>\n");
        return 2;
    }
    g_root = argv[1];

    // Sessions.
    auto fresh = ostrel_core::SessionState::create();
    put("session_state_json", "fresh.json", fresh.to_json());
    auto busy = ostrel_core::SessionState::create();
    busy.action_count = 3;
    busy.action_history = {"orders.read", "orders.write", "\u00e9t\u00e9"};
    busy.invalidated = true;
    busy.origin_ip = ostrel_util::IpAddr::v4({10, 0, 0, 7});
    busy.origin_device = ostrel_core::DeviceFingerprint{"abc123", std::string("laptop")};
    busy.origin_geo = ostrel_core::GeoLocation{};
    busy.origin_geo->city = "Lyon";
    busy.origin_geo->latitude = 45.76;
    busy.origin_geo->longitude = 4.84;
    put("session_state_json", "busy.json", busy.to_json());
    busy.origin_ip = ostrel_util::IpAddr::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    put("session_state_json", "v6.json", busy.to_json());

    // Invalidation scopes, one per target kind.
    using ostrel_core::InvalidationScope;
    using ostrel_core::InvalidationTarget;
    put("invalidation_scope_json", "session.json",
        InvalidationScope{InvalidationTarget::session(fresh.session_id), "drift", "geo"}.to_json());
    put("invalidation_scope_json", "principal.json",
        InvalidationScope{InvalidationTarget::principal("agent-\"7\""), "revoked", "admin"}.to_json());
    put("invalidation_scope_json", "role.json", InvalidationScope{InvalidationTarget::role("ops"), "", "x"}.to_json());

    // Keys: one without and one with expiry.
    auto kp = must(ostrel_pq::OstrelKeyPair::generate());
    auto kp_exp = must(ostrel_pq::OstrelKeyPair::generate_with_expiry(ostrel_pq::KeyTtl{3600, 5}));
    for (auto [name, k] : {std::pair{"plain", &kp}, std::pair{"expiring", &kp_exp}}) {
        const std::string n(name);
        auto sk = must(k->to_secret_bytes());
        put_bytes("secret_key_blob", n + ".ossk", sk.data(), sk.size());
        auto pb = must(k->public_keys().to_bytes());
        put_bytes("bundle_blob", n + ".ospb", pb.data(), pb.size());
        put("bundle_json", n + ".json", k->public_keys().to_json());
    }
    std::vector<ostrel_pq::PublicKeyBundle> bundles{kp.public_keys(), kp_exp.public_keys()};
    put("bundle_json", "list.json", ostrel_pq::bundles_to_json(bundles));
    put("directory_file", "unsigned.json", ostrel_pq::bundles_to_json(bundles));
    put("directory_file", "empty.json", "[]");

    // Signed directory manifests, signed by the harness's root.
    auto manifest = must(ostrel_pq::build_signed_manifest(bundles, ostrel_fuzz::kRootSeed));
    put("manifest_json", "two.json", manifest.to_json());
    put("directory_file", "signed.json", manifest.to_json());
    auto empty_manifest = must(ostrel_pq::build_signed_manifest({}, ostrel_fuzz::kRootSeed));
    put("directory_file", "signed-empty.json", empty_manifest.to_json());

    // Signed payloads, pq-only and hybrid.
    const Bytes data = text_bytes("{\"action\":\"orders.read\"}");
    auto pq_payload = must(ostrel_pq::Signer::from_keypair(kp, false).sign(data));
    auto hy_payload = must(ostrel_pq::Signer::from_keypair(kp, true).sign(data));
    put("signed_payload_json", "pq.json", pq_payload.to_json());
    put("signed_payload_json", "hybrid.json", hy_payload.to_json());

    // Token envelopes.
    put("token_envelope_json", "pq.json",
        ostrel_pq::SignedTokenEnvelope{kp.id(), std::string(ostrel_pq::kAlgorithmPqOnly), pq_payload.ml_dsa_signature,
                                       std::nullopt}
            .to_json());
    put("token_envelope_json", "hybrid.json",
        ostrel_pq::SignedTokenEnvelope{kp.id(), std::string(ostrel_pq::kAlgorithmHybrid), hy_payload.ml_dsa_signature,
                                       hy_payload.ed25519_signature}
            .to_json());

    // Sealed payloads, hybrid and ML-KEM only.
    auto sealed = must(ostrel_pq::Encryptor::from_bundle(kp.public_keys()).encrypt(data));
    put("sealed_payload_json", "hybrid.json", sealed.to_json());
    auto sealed_kem = must(ostrel_pq::Encryptor::ml_kem_only(kp.public_keys()).encrypt(Bytes{}));
    put("sealed_payload_json", "kem-empty.json", sealed_kem.to_json());

    // Channel signed messages.
    put("signed_bytes_json", "pq.json", ostrel_pq::SignedBytes{pq_payload, "ctx-1", "corr-1"}.to_json());
    put("signed_bytes_json", "hybrid.json", ostrel_pq::SignedBytes{hy_payload, "", "c"}.to_json());

    // Audit entries and a JSON Lines export of a short chain (hybrid), and a
    // pq-only one-line export.
    std::vector<ostrel_pq::SignedAuditEntry> chain;
    std::string prev(ostrel_pq::kGenesisHash);
    for (std::uint64_t i = 0; i < 3; ++i) {
        auto p = must(ostrel_pq::Signer::from_keypair(kp, true).sign(text_bytes("entry " + std::to_string(i))));
        ostrel_pq::SignedAuditEntry e{i, prev, p, ostrel_pq::compute_chain_hash(i, prev, p)};
        prev = e.entry_hash;
        chain.push_back(std::move(e));
    }
    put("audit_entry_json", "first.json", chain[0].to_json());
    put("audit_entry_json", "second.json", chain[1].to_json());
    put("audit_jsonl", "hybrid.jsonl", must(ostrel_pq::export_jsonl(chain)));
    ostrel_pq::SignedAuditEntry pq_entry{0, std::string(ostrel_pq::kGenesisHash), pq_payload,
                                         ostrel_pq::compute_chain_hash(0, ostrel_pq::kGenesisHash, pq_payload)};
    put("audit_jsonl", "pq.jsonl", must(ostrel_pq::export_jsonl(std::span(&pq_entry, 1))));
    put("audit_jsonl", "empty.jsonl", "");

    std::printf("seeds written to %s\n", g_root.c_str());
    return 0;
}
