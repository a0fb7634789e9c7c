#pragma once
// Assembling a core gate from a policy set and the Python gate options.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/policy_document.hpp"
#include "py/gate_family.hpp"

namespace ostrel_py {

// The options shared by every Gate constructor, already converted.
struct GateOptions {
    // (name, parameter, maximum): one parameter-maximum invariant each.
    std::vector<std::tuple<std::string, std::string, double>> invariants;
    bool observe_only = false;
    std::optional<std::uint64_t> max_session_actions;
    bool enable_drift = true;
    std::shared_ptr<const ostrel_core::TokenSigner> token_signer;
    std::optional<double> geo_drift_max_km;
    std::shared_ptr<ostrel_core::RateLimitStore> rate_store;
    // A broadcaster argument was given (not None); `broadcaster` is null when
    // it was of neither broadcaster class.
    bool broadcaster_given = false;
    std::shared_ptr<ostrel_core::InvalidationBroadcaster> broadcaster;
};

// Builds the gate: policy engine (with the shared rate store if given), drift
// evaluator if enabled, invariants if any, then signer and broadcaster.
// Fails (with the ValueError message) only for a broadcaster of another type.
std::expected<GateHandle, std::string> build_gate(ostrel_core::PolicySet set, const GateOptions& options);

}  // namespace ostrel_py
