// Shared helpers of the audit chain tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/audit.hpp"
#include "pq/audit.hpp"
#include "pq_test_support.hpp"

namespace ostrel_pq::testing {

inline ostrel_core::AuditEntry sample_entry(int n) {
    auto e = ostrel_core::AuditEntry::make("agent-" + std::to_string(n), "tool.call", "permit", "allowed by policy");
    e.resource = "db/orders";
    e.ip = "10.0.0." + std::to_string(n % 250);
    return e;
}

// One key pair per test binary: generation is the slow part.
inline const OstrelKeyPair& shared_keypair() {
    static const OstrelKeyPair kp = make_keypair();
    return kp;
}
inline const OstrelKeyPair& other_keypair() {
    static const OstrelKeyPair kp = make_keypair();
    return kp;
}

inline Verifier verifier_for(bool hybrid, const OstrelKeyPair& kp = shared_keypair()) {
    return Verifier::from_bundle(kp.public_keys(), hybrid);
}

// A chain of `n` appended entries.
inline std::vector<SignedAuditEntry> make_chain(std::size_t n, bool hybrid, SignedAuditChain* into = nullptr) {
    SignedAuditChain local(Signer::from_keypair(shared_keypair(), hybrid));
    SignedAuditChain& chain = into ? *into : local;
    for (std::size_t i = 0; i < n; ++i) {
        auto r = chain.append(sample_entry(static_cast<int>(i)));
        if (!r) ADD_FAILURE() << r.error().display();
    }
    return chain.entries();
}

inline std::string error_text(const std::expected<void, PqError>& r) { return r ? "ok" : r.error().display(); }

// The lines of a JSON Lines text, without their line feeds.
inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

inline std::string join_lines(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

}  // namespace ostrel_pq::testing
