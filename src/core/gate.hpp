// The decision point: runs a chain of evaluators in ascending priority over
// one context and combines their verdicts, fail-closed. The first refusal or
// invalidation wins; invalidations are published to the broadcaster (a failed
// publish is logged and never changes the verdict); when every evaluator
// permits, the gate issues a fresh permit token valid 30 s and, if a token
// signer is installed, signs it (a signing failure becomes a refusal).
//
// A gate is immutable after construction and holds no lock: any number of
// evaluations may run concurrently on different threads.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/context.hpp"
#include "core/evaluator.hpp"
#include "core/invalidation.hpp"
#include "core/token_signer.hpp"
#include "core/verdict.hpp"

namespace ostrel_core {

class Gate {
public:
    // Sorts `evaluators` by priority, stable (equal priorities keep their
    // given order); installs a NoopInvalidationBroadcaster and no signer.
    // Null entries are dropped.
    Gate(std::vector<std::shared_ptr<const Evaluator>> evaluators, bool observe_only);

    // Builder steps: replace the broadcaster / signer (releasing the old one).
    // A null broadcaster installs a fresh NoopInvalidationBroadcaster.
    Gate& with_broadcaster(std::shared_ptr<InvalidationBroadcaster> broadcaster) &;
    Gate&& with_broadcaster(std::shared_ptr<InvalidationBroadcaster> broadcaster) &&;
    Gate& with_token_signer(std::shared_ptr<const TokenSigner> signer) &;
    Gate&& with_token_signer(std::shared_ptr<const TokenSigner> signer) &&;

    // The full pipeline. Never fails.
    Verdict evaluate(const ActionContext& ctx) const;
    // Runs evaluate() in full (broadcasting and signing as usual), logs when
    // the result was not a permit, and returns a new unsigned permit token
    // for the context instead, whatever the result was.
    Verdict evaluate_observe_only(const ActionContext& ctx) const;

    bool observe_only() const noexcept { return observe_only_; }
    std::size_t evaluator_count() const noexcept { return evaluators_.size(); }
    const std::vector<std::shared_ptr<const Evaluator>>& evaluators() const noexcept { return evaluators_; }
    const std::shared_ptr<InvalidationBroadcaster>& broadcaster() const noexcept { return broadcaster_; }
    const std::shared_ptr<const TokenSigner>& token_signer() const noexcept { return token_signer_; }

private:
    std::vector<std::shared_ptr<const Evaluator>> evaluators_;
    bool observe_only_;
    std::shared_ptr<InvalidationBroadcaster> broadcaster_;
    std::shared_ptr<const TokenSigner> token_signer_;
};

}  // namespace ostrel_core
