// Drift detection and invariants inside a real gate with the policy engine:
// their place in the chain, the invalidation reaching the broadcaster, and the
// invariants only ever tightening what policy and drift allowed.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/drift.hpp"
#include "core/gate.hpp"
#include "core/invariant.hpp"
#include "core/policy_document.hpp"
#include "core/policy_engine.hpp"

namespace {

using namespace ostrel_core;

// Records every published scope; subscriptions come from an idle no-op
// channel.
class RecordingBroadcaster final : public InvalidationBroadcaster {
public:
    std::expected<void, BroadcastError> publish(InvalidationScope scope) override {
        std::lock_guard lock(mu_);
        published_.push_back(std::move(scope));
        return {};
    }
    InvalidationReceiver subscribe() override { return idle_.subscribe(); }
    std::vector<InvalidationScope> published() const {
        std::lock_guard lock(mu_);
        return published_;
    }

private:
    mutable std::mutex mu_;
    std::vector<InvalidationScope> published_;
    NoopInvalidationBroadcaster idle_;
};

std::shared_ptr<PolicyEngine> permit_docs_engine() {
    auto set = PolicySet::from_toml(R"(
[[policy]]
name = "agents-read-docs"
effect = "permit"
conditions = [{ identity_kind = "agent" }, { action = "docs.*" }]
)");
    EXPECT_TRUE(set.has_value());
    return PolicyEngine::create(std::move(*set));
}

struct GateFixture : ::testing::Test {
    std::shared_ptr<RecordingBroadcaster> broadcaster = std::make_shared<RecordingBroadcaster>();
    Gate gate = make_gate();

    Gate make_gate() {
        InvariantOptions inv;
        inv.param_ceilings.push_back({"max_pages", "pages", 50.0});
        inv.max_session_actions = 100;
        // Given out of order on purpose: the gate sorts by priority.
        std::vector<std::shared_ptr<const Evaluator>> chain = {
            InvariantSet::from_options(inv),
            DriftEvaluator::from_options(DriftOptions{}),
            permit_docs_engine(),
        };
        Gate g(std::move(chain), false);
        g.with_broadcaster(broadcaster);
        return g;
    }

    static ActionContext ctx(std::string action, double pages) {
        ActionDescriptor a(std::move(action));
        a.set_param("pages", pages);
        SessionState s = SessionState::create();
        s.origin_ip = IpAddr::parse("10.0.0.1");
        EnvContext env;
        env.ip = IpAddr::parse("10.0.0.1");
        return ActionContext::create(Principal{"reader-bot", PrincipalKind::Agent, {}}, std::move(a), std::move(s),
                                     std::move(env));
    }
};

TEST_F(GateFixture, ChainRunsPolicyThenDriftThenInvariants) {
    ASSERT_EQ(gate.evaluator_count(), 3u);
    EXPECT_EQ(gate.evaluators()[0]->name(), "policy");
    EXPECT_EQ(gate.evaluators()[1]->name(), "drift");
    EXPECT_EQ(gate.evaluators()[2]->name(), "invariants");
}

TEST_F(GateFixture, CleanRequestWithinLimitsIsPermitted) {
    const ActionContext c = ctx("docs.read", 10);
    const Verdict v = gate.evaluate(c);
    ASSERT_TRUE(v.is_permit());
    EXPECT_EQ(v.permit()->evaluation_id, c.evaluation_id);
    EXPECT_TRUE(broadcaster->published().empty());
}

TEST_F(GateFixture, InvariantTurnsAPolicyPermitIntoARefusal) {
    const Verdict v = gate.evaluate(ctx("docs.read", 80));
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(v.refusal()->to_string(),
              "[INVARIANT_VIOLATION] invariants: invariant 'max_pages' violated: parameter 'pages' must be at most 50");
}

TEST_F(GateFixture, PolicyRefusalComesBeforeDriftAndInvariants) {
    ActionContext c = ctx("shell.exec", 80);
    c.environment.ip = IpAddr::parse("10.9.9.9");
    const Verdict v = gate.evaluate(c);
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(v.refusal()->code, RefuseCode::NoPolicyMatch);
    EXPECT_TRUE(broadcaster->published().empty());
}

TEST_F(GateFixture, DriftViolationInvalidatesBeforeInvariantsRunAndIsBroadcast) {
    ActionContext c = ctx("docs.read", 80);  // would also break the page ceiling
    c.environment.ip = IpAddr::parse("192.0.2.44");
    const Verdict v = gate.evaluate(c);
    ASSERT_TRUE(v.is_invalidate());
    const InvalidationScope expected{InvalidationTarget::session(c.session.session_id),
                                     "IP changed mid-session: 10.0.0.1 \u2192 192.0.2.44", "drift"};
    EXPECT_EQ(*v.invalidation(), expected);
    const auto published = broadcaster->published();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0], expected);
}

TEST_F(GateFixture, FastSessionIsInvalidatedBeforeItsCapIsChecked) {
    ActionContext c = ctx("docs.read", 1);
    c.session.action_count = 101;  // a fresh session: 101 actions a minute
    const Verdict v = gate.evaluate(c);
    ASSERT_TRUE(v.is_invalidate());
    EXPECT_EQ(v.invalidation()->reason, "action rate (101/min) exceeds violation threshold (100)");
}

TEST_F(GateFixture, SessionCapAppliesAfterDrift) {
    ActionContext c = ctx("docs.read", 1);
    c.session.action_count = 101;
    // Ten minutes old, so 101 actions are 10 a minute: no behaviour drift.
    c.session.started_at = *ostrel_util::now().checked_add_seconds(-600);
    const Verdict v = gate.evaluate(c);
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(v.refusal()->reason, "invariant 'max_session_actions' violated: maximum 100 actions per session");
}

}  // namespace
