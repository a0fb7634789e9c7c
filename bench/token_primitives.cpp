// The cryptographic work behind one permit-token signature and one
// verification, measured natively, as the floor that the token signer, the
// directory verifier and the gate are compared against
// (bench/python/bench_tokens.py runs this program and prints both side by side).
//
// Signing a hybrid token is: ML-DSA-65 key expansion from the 32-byte seed and
// deterministic signing of the canonical bytes, then Ed25519 signing from its
// 32-byte seed. Verifying is: decoding the ML-DSA-65 verifying key and
// verifying, then checking the Ed25519 key decodes to a point and verifying.
//
// The tokens are the ones the Python benchmark builds (token i has token id
// 00000000-0000-4000-8000-<i as 12 hex digits>, a fixed evaluation id, issued
// at 1700000000 + i, 30 s validity, action "files.read"), and the seeds come
// from OSTREL_BENCH_SEEDS ("<ml-dsa seed hex>:<ed25519 seed hex>"), so both
// sides sign exactly the same messages with the same key: ML-DSA signing
// time depends on the message through its rejection loop.
//
// Usage: bench_token_primitives [tokens=256] [repeats=7]
// Prints one JSON object of medians (microseconds per token); besides the
// primitives it times writing and parsing the hybrid envelope JSON, the layer
// around them, to show where any overhead of the signer comes from.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/verdict.hpp"
#include "pq/keys.hpp"
#include "pq/primitives.hpp"
#include "pq/token.hpp"
#include "util/time.hpp"
#include "util/uuid.hpp"

namespace {

namespace prim = ostrel_pq::primitives;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

bool parse_hex(std::string_view hex, Bytes& out) {
    if (hex.size() % 2 != 0) return false;
    out.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        unsigned v = 0;
        if (std::sscanf(std::string(hex.substr(i, 2)).c_str(), "%2x", &v) != 1) return false;
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return true;
}

Bytes token_message(std::size_t i) {
    char id[64];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012zx", i);
    ostrel_core::PermitToken t;
    t.token_id = *ostrel_util::Uuid::parse(id);
    t.evaluation_id = *ostrel_util::Uuid::parse("0d9e8f7a-6b5c-4d3e-9f21-0a1b2c3d4e5f");
    t.issued_at = *ostrel_util::Timestamp::from_unix(1700000000 + static_cast<std::int64_t>(i));
    t.expires_at = *ostrel_util::Timestamp::from_unix(1700000030 + static_cast<std::int64_t>(i));
    t.action_name = "files.read";
    return t.canonical_bytes();
}

template <class F>
double median_us_per_token(std::size_t tokens, int repeats, F&& body) {
    std::vector<double> runs;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = Clock::now();
        for (std::size_t i = 0; i < tokens; ++i) body(i);
        const std::chrono::duration<double, std::micro> d = Clock::now() - t0;
        runs.push_back(d.count() / static_cast<double>(tokens));
    }
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_token_primitives: %s\n", what.c_str());
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t tokens = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
    if (tokens == 0 || repeats <= 0) die("tokens and repeats must be positive");

    Bytes ml_seed(32), ed_seed(32);
    if (const char* env = std::getenv("OSTREL_BENCH_SEEDS")) {
        std::string_view s(env);
        const auto colon = s.find(':');
        if (colon == std::string_view::npos || !parse_hex(s.substr(0, colon), ml_seed) ||
            !parse_hex(s.substr(colon + 1), ed_seed) || ml_seed.size() != 32 || ed_seed.size() != 32)
            die("OSTREL_BENCH_SEEDS must be <64 hex digits>:<64 hex digits>");
    } else {
        for (std::size_t i = 0; i < 32; ++i) {
            ml_seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
            ed_seed[i] = static_cast<std::uint8_t>(i * 13 + 5);
        }
    }
    const std::span<const std::uint8_t, 32> ml(ml_seed.data(), 32);
    const std::span<const std::uint8_t, 32> ed(ed_seed.data(), 32);

    std::vector<Bytes> messages;
    for (std::size_t i = 0; i < tokens; ++i) messages.push_back(token_message(i));

    const Bytes ml_vk = prim::ml_dsa_verifying_key_from_seed(ml);
    auto ed_vk_r = prim::ed25519_public_key(ed);
    if (!ed_vk_r) die(ed_vk_r.error());
    const Bytes ed_vk = *ed_vk_r;
    const std::span<const std::uint8_t, 32> ed_key(ed_vk.data(), 32);

    std::vector<Bytes> ml_sigs, ed_sigs;
    for (const Bytes& m : messages) {
        auto a = prim::ml_dsa_sign(ml, m);
        auto b = prim::ed25519_sign(ed, m);
        if (!a || !b) die("signing failed");
        ml_sigs.push_back(std::move(*a));
        ed_sigs.push_back(std::move(*b));
    }

    volatile std::size_t sink = 0;
    const double sign_ml = median_us_per_token(tokens, repeats, [&](std::size_t i) {
        sink = sink + prim::ml_dsa_sign(ml, messages[i])->size();
    });
    const double sign_ed = median_us_per_token(tokens, repeats, [&](std::size_t i) {
        sink = sink + prim::ed25519_sign(ed, messages[i])->size();
    });
    const double sign_sum = median_us_per_token(tokens, repeats, [&](std::size_t i) {
        sink = sink + prim::ml_dsa_sign(ml, messages[i])->size();
        sink = sink + prim::ed25519_sign(ed, messages[i])->size();
    });
    const double verify_ml = median_us_per_token(tokens, repeats, [&](std::size_t i) {
        auto vk = ostrel_pq::load_ml_dsa_verifying_key(ml_vk);
        sink = sink + static_cast<std::size_t>(vk->verify(messages[i], ml_sigs[i]).has_value());
    });
    const double verify_ed = median_us_per_token(tokens, repeats, [&](std::size_t i) {
        sink = sink + static_cast<std::size_t>(prim::ed25519_check_key(ed_key).has_value());
        sink = sink + static_cast<std::size_t>(
                          prim::ed25519_verify(ed_key, messages[i],
                                               std::span<const std::uint8_t, 64>(ed_sigs[i].data(), 64))
                              .has_value());
    });
    const double verify_sum = median_us_per_token(tokens, repeats, [&](std::size_t i) {
        auto vk = ostrel_pq::load_ml_dsa_verifying_key(ml_vk);
        sink = sink + static_cast<std::size_t>(vk->verify(messages[i], ml_sigs[i]).has_value());
        sink = sink + static_cast<std::size_t>(prim::ed25519_check_key(ed_key).has_value());
        sink = sink + static_cast<std::size_t>(
                          prim::ed25519_verify(ed_key, messages[i],
                                               std::span<const std::uint8_t, 64>(ed_sigs[i].data(), 64))
                              .has_value());
    });
    // Not primitives: the envelope layer around them, for locating overhead.
    std::vector<std::string> envelopes;
    for (std::size_t i = 0; i < tokens; ++i)
        envelopes.push_back(ostrel_pq::SignedTokenEnvelope{"ostrel-key-bench", std::string(ostrel_pq::kAlgorithmHybrid),
                                                          ml_sigs[i], ed_sigs[i]}
                                .to_json());
    const double envelope_write = median_us_per_token(tokens, repeats, [&](std::size_t i) {
        ostrel_pq::SignedTokenEnvelope env{"ostrel-key-bench", std::string(ostrel_pq::kAlgorithmHybrid), ml_sigs[i],
                                           ed_sigs[i]};
        sink = sink + env.to_json().size();
    });
    const double envelope_parse = median_us_per_token(tokens, repeats, [&](std::size_t i) {
        sink = sink + ostrel_pq::SignedTokenEnvelope::from_json(envelopes[i])->ml_dsa_signature.size();
    });
    (void)sink;

    std::printf(
        "{\"tokens\":%zu,\"repeats\":%d,\"sign_ml_dsa_us\":%.2f,\"sign_ed25519_us\":%.2f,\"sign_sum_us\":%.2f,"
        "\"verify_ml_dsa_us\":%.2f,\"verify_ed25519_us\":%.2f,\"verify_sum_us\":%.2f,"
        "\"envelope_write_us\":%.2f,\"envelope_parse_us\":%.2f}\n",
        tokens, repeats, sign_ml, sign_ed, sign_sum, verify_ml, verify_ed, verify_sum, envelope_write, envelope_parse);
    return 0;
}
