#include "core/gate.hpp"

#include <algorithm>

#include "util/log.hpp"

namespace ostrel_core {
namespace {

using ostrel_util::log::Level;
constexpr std::string_view kTarget = "ostrel_core::gate";

}  // namespace

Gate::Gate(std::vector<std::shared_ptr<const Evaluator>> evaluators, bool observe_only)
    : evaluators_(std::move(evaluators)),
      observe_only_(observe_only),
      broadcaster_(NoopInvalidationBroadcaster::create()) {
    std::erase(evaluators_, nullptr);
    std::stable_sort(evaluators_.begin(), evaluators_.end(),
                     [](const auto& a, const auto& b) { return a->priority() < b->priority(); });
}

Gate& Gate::with_broadcaster(std::shared_ptr<InvalidationBroadcaster> broadcaster) & {
    broadcaster_ = broadcaster ? std::move(broadcaster) : NoopInvalidationBroadcaster::create();
    return *this;
}

Gate&& Gate::with_broadcaster(std::shared_ptr<InvalidationBroadcaster> broadcaster) && {
    with_broadcaster(std::move(broadcaster));
    return std::move(*this);
}

Gate& Gate::with_token_signer(std::shared_ptr<const TokenSigner> signer) & {
    token_signer_ = std::move(signer);
    return *this;
}

Gate&& Gate::with_token_signer(std::shared_ptr<const TokenSigner> signer) && {
    with_token_signer(std::move(signer));
    return std::move(*this);
}

Verdict Gate::evaluate(const ActionContext& ctx) const {
    OSTREL_LOG(Level::Info, kTarget, "gate evaluation started", {"evaluation_id", ctx.evaluation_id.to_string()},
               {"principal", ctx.principal.id}, {"action", ctx.action.name});

    if (ctx.session.invalidated) {
        return Verdict::refuse("gate", "session has been invalidated", ctx.evaluation_id, RefuseCode::SessionInvalid);
    }

    for (const auto& evaluator : evaluators_) {
        OSTREL_LOG(Level::Debug, kTarget, "running evaluator", {"evaluator", evaluator->name()},
                   {"priority", evaluator->priority()});
        Verdict verdict = evaluator->evaluate(ctx);
        switch (verdict.kind()) {
            case Verdict::Kind::Permit:
                // The evaluator's own token is discarded; only the gate's
                // final token leaves the gate.
                OSTREL_LOG(Level::Debug, kTarget, "evaluator permits", {"evaluator", evaluator->name()});
                continue;
            case Verdict::Kind::Refuse:
                OSTREL_LOG(Level::Warn, kTarget, "action refused", {"evaluator", evaluator->name()},
                           {"reason", verdict.refusal()->to_string()});
                return verdict;
            case Verdict::Kind::Invalidate: {
                const InvalidationScope& scope = *verdict.invalidation();
                OSTREL_LOG(Level::Error, kTarget, "authority invalidated", {"evaluator", evaluator->name()},
                           {"scope", scope.to_string()});
                // The local decision never depends on peers being told.
                auto published = broadcaster_->publish(scope);
                if (!published) {
                    OSTREL_LOG(Level::Warn, kTarget, "invalidation broadcast failed, local verdict unaffected",
                               {"error", published.error().display()}, {"scope", scope.to_string()});
                }
                return verdict;
            }
        }
    }

    PermitToken token = PermitToken::create(ctx.evaluation_id, ctx.action.name);
    if (token_signer_) {
        auto signature = token_signer_->sign(token);
        if (!signature) {
            const std::string error = signature.error().display();
            OSTREL_LOG(Level::Error, kTarget, "token signing failed, refusing action (fail-closed)", {"error", error});
            return Verdict::refuse("gate", "token signing failed: " + error, ctx.evaluation_id,
                                   RefuseCode::IdentityFailed);
        }
        token.signature = std::move(*signature);
    }
    OSTREL_LOG(Level::Info, kTarget, "all evaluators passed, action permitted",
               {"evaluation_id", ctx.evaluation_id.to_string()});
    return Verdict(std::move(token));
}

Verdict Gate::evaluate_observe_only(const ActionContext& ctx) const {
    const Verdict full = evaluate(ctx);
    if (!full.is_permit()) {
        OSTREL_LOG(Level::Info, kTarget, "observe-only: would have blocked this action",
                   {"evaluation_id", ctx.evaluation_id.to_string()}, {"action", ctx.action.name});
    }
    // Whatever the full evaluation decided, the caller gets a fresh, unsigned
    // permit for this context.
    return Verdict(PermitToken::create(ctx.evaluation_id, ctx.action.name));
}

}  // namespace ostrel_core
