#include "py/gate_build.hpp"

#include <utility>

#include "core/drift.hpp"
#include "core/evaluator.hpp"
#include "core/gate.hpp"
#include "core/invalidation.hpp"
#include "core/invariant.hpp"
#include "core/policy_engine.hpp"
#include "core/rate_limit.hpp"
#include "core/token_signer.hpp"

namespace ostrel_py {

namespace core = ostrel_core;

std::expected<GateHandle, std::string> build_gate(core::PolicySet set, const GateOptions& options) {
    if (options.broadcaster_given && !options.broadcaster)
        return std::unexpected(std::string(
            "broadcaster must be RedisInvalidationBroadcaster or InMemoryInvalidationBroadcaster"));

    std::shared_ptr<core::PolicyEngine> engine =
        options.rate_store ? core::PolicyEngine::with_rate_store(std::move(set), options.rate_store)
                           : core::PolicyEngine::create(std::move(set));

    std::vector<std::shared_ptr<const core::Evaluator>> evaluators;
    evaluators.push_back(engine);

    if (auto drift = core::DriftEvaluator::from_options(
            core::DriftOptions{.enable_drift = options.enable_drift, .geo_drift_max_km = options.geo_drift_max_km}))
        evaluators.push_back(std::move(drift));

    core::InvariantOptions inv;
    inv.param_ceilings.reserve(options.invariants.size());
    for (const auto& [name, parameter, limit] : options.invariants)
        inv.param_ceilings.push_back({.name = name, .parameter = parameter, .limit = limit});
    inv.max_session_actions = options.max_session_actions;
    if (auto set = core::InvariantSet::from_options(inv)) evaluators.push_back(std::move(set));

    core::Gate gate(std::move(evaluators), options.observe_only);
    if (options.token_signer) gate.with_token_signer(options.token_signer);
    if (options.broadcaster) gate.with_broadcaster(options.broadcaster);
    return GateHandle{std::make_shared<const core::Gate>(std::move(gate)), std::move(engine)};
}

}  // namespace ostrel_py
