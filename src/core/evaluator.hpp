// One stage of the gate's chain. Implementations are shared
// (std::shared_ptr), immutable from the gate's point of view, and callable
// from several threads at once.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/context.hpp"
#include "core/verdict.hpp"

namespace ostrel_core {

class Evaluator {
public:
    virtual ~Evaluator() = default;
    // Short stable name: used in logs and as the evaluator of refusals and
    // invalidations ("policy", "drift", "invariants").
    virtual std::string_view name() const = 0;
    // Judges one context. Never fails: internal failures are refusals.
    virtual Verdict evaluate(const ActionContext& ctx) const = 0;
    // Position in the chain; lower runs earlier (policy 50, drift 100,
    // invariants 150).
    virtual std::uint32_t priority() const = 0;
};

}  // namespace ostrel_core
