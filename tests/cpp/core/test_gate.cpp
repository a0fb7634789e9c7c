#include "core/gate.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "util/log.hpp"

using namespace ostrel_core;
namespace lg = ostrel_util::log;

namespace {

// Call order shared by the evaluators of one test.
struct CallLog {
    std::mutex mu;
    std::vector<std::string> calls;
    void add(std::string s) {
        std::lock_guard lock(mu);
        calls.push_back(std::move(s));
    }
};

class ScriptedEvaluator final : public Evaluator {
public:
    using Script = std::function<Verdict(const ActionContext&)>;
    ScriptedEvaluator(std::string name, std::uint32_t priority, Script script, CallLog* log = nullptr)
        : name_(std::move(name)), priority_(priority), script_(std::move(script)), log_(log) {}

    std::string_view name() const override { return name_; }
    std::uint32_t priority() const override { return priority_; }
    Verdict evaluate(const ActionContext& ctx) const override {
        ++calls;
        if (log_) log_->add(name_);
        Verdict v = script_(ctx);
        if (const PermitToken* t = v.permit()) {
            std::lock_guard lock(mu_);
            minted.push_back(t->token_id);
        }
        return v;
    }

    mutable std::atomic<int> calls{0};
    mutable std::vector<Uuid> minted;

private:
    std::string name_;
    std::uint32_t priority_;
    Script script_;
    CallLog* log_;
    mutable std::mutex mu_;
};

ScriptedEvaluator::Script permits() {
    return [](const ActionContext& ctx) { return Verdict(PermitToken::create(ctx.evaluation_id, ctx.action.name)); };
}
ScriptedEvaluator::Script refuses(std::string evaluator, RefuseCode code = RefuseCode::PolicyDenied) {
    return [evaluator, code](const ActionContext& ctx) {
        return Verdict::refuse(evaluator, "not allowed", ctx.evaluation_id, code);
    };
}
ScriptedEvaluator::Script invalidates() {
    return [](const ActionContext& ctx) {
        return Verdict(InvalidationScope{InvalidationTarget::session(ctx.session.session_id), "device changed", "drift"});
    };
}

// Records every published scope; can be told to fail. Its channel is real, so
// subscribers see what the gate publishes.
class RecordingBroadcaster final : public InvalidationBroadcaster {
public:
    explicit RecordingBroadcaster(bool fail) : fail_(fail), sender_(BroadcastChannel<InvalidationScope>::create(16).first) {}
    std::expected<void, BroadcastError> publish(InvalidationScope scope) override {
        std::lock_guard lock(mu_);
        published.push_back(scope);
        if (fail_) return std::unexpected(BroadcastError::backend("connection refused"));
        sender_.send(std::move(scope));
        return {};
    }
    InvalidationReceiver subscribe() override { return sender_.subscribe(); }

    std::vector<InvalidationScope> published;

private:
    bool fail_;
    InvalidationSender sender_;
    std::mutex mu_;
};

class FakeSigner final : public TokenSigner {
public:
    explicit FakeSigner(bool fail) : fail_(fail) {}
    std::expected<std::vector<std::uint8_t>, OstrelError> sign(const PermitToken& token) const override {
        ++calls;
        if (fail_) return std::unexpected(OstrelError::serialization("signing key unavailable"));
        auto bytes = token.canonical_bytes();
        bytes.push_back(0xAA);  // "signature": the canonical bytes plus a marker
        return bytes;
    }
    std::expected<void, OstrelError> verify(const PermitToken& token, std::span<const std::uint8_t> sig) const override {
        auto expected = token.canonical_bytes();
        expected.push_back(0xAA);
        if (std::vector<std::uint8_t>(sig.begin(), sig.end()) != expected)
            return std::unexpected(OstrelError::serialization("bad signature"));
        return {};
    }
    mutable std::atomic<int> calls{0};

private:
    bool fail_;
};

ActionContext context(bool invalidated = false) {
    SessionState session = SessionState::create();
    session.invalidated = invalidated;
    return ActionContext::create(Principal{"agent-1", PrincipalKind::Agent, {"ops"}}, ActionDescriptor("orders.create"),
                                 std::move(session), EnvContext{});
}

class GateTest : public ::testing::Test {
protected:
    std::shared_ptr<lg::CapturingSink> sink = std::make_shared<lg::CapturingSink>();
    lg::ScopedSink guard{sink};

    std::vector<lg::CapturedEvent> gate_events() const {
        std::vector<lg::CapturedEvent> out;
        for (auto& e : sink->events())
            if (e.target == "ostrel_core::gate") out.push_back(e);
        return out;
    }
};

TEST_F(GateTest, EmptyChainPermitsWithAFreshThirtySecondToken) {
    const Gate gate({}, false);
    EXPECT_EQ(gate.evaluator_count(), 0u);
    const ActionContext ctx = context();
    const Verdict v = gate.evaluate(ctx);
    ASSERT_TRUE(v.is_permit());
    const PermitToken& t = *v.permit();
    EXPECT_EQ(t.evaluation_id, ctx.evaluation_id);
    EXPECT_EQ(t.action_name, "orders.create");
    EXPECT_EQ(t.expires_at.seconds_since(t.issued_at), 30);
    EXPECT_FALSE(t.signature.has_value());
}

TEST_F(GateTest, EmptyChainSignsWhenASignerIsInstalled) {
    auto signer = std::make_shared<FakeSigner>(false);
    const Gate gate = Gate({}, false).with_token_signer(signer);
    const Verdict v = gate.evaluate(context());
    ASSERT_TRUE(v.is_permit());
    ASSERT_TRUE(v.permit()->signature.has_value());
    EXPECT_TRUE(signer->verify(*v.permit(), *v.permit()->signature).has_value())
        << "the stored signature is over the returned token's canonical bytes";
    EXPECT_EQ(signer->calls, 1);
}

TEST_F(GateTest, InvalidatedSessionIsRefusedWithoutRunningEvaluators) {
    auto policy = std::make_shared<ScriptedEvaluator>("policy", 50, permits());
    const Gate gate({policy}, false);
    const ActionContext ctx = context(/*invalidated=*/true);
    const Verdict v = gate.evaluate(ctx);
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(*v.refusal(), (RefuseReason{"gate", "session has been invalidated", ctx.evaluation_id,
                                          RefuseCode::SessionInvalid}));
    EXPECT_EQ(v.refusal()->to_string(), "[SESSION_INVALID] gate: session has been invalidated");
    EXPECT_EQ(policy->calls, 0);
    const auto events = gate_events();
    ASSERT_EQ(events.size(), 1u) << "nothing is logged after the start event";
    EXPECT_EQ(events[0].message, "gate evaluation started");
}

TEST_F(GateTest, RunsEvaluatorsByPriorityKeepingTheGivenOrderForTies) {
    CallLog log;
    auto invariants = std::make_shared<ScriptedEvaluator>("invariants", 150, permits(), &log);
    auto policy = std::make_shared<ScriptedEvaluator>("policy", 50, permits(), &log);
    auto drift = std::make_shared<ScriptedEvaluator>("drift", 100, permits(), &log);
    auto tie_a = std::make_shared<ScriptedEvaluator>("tie-a", 100, permits(), &log);
    auto tie_b = std::make_shared<ScriptedEvaluator>("tie-b", 100, permits(), &log);
    const Gate gate({invariants, tie_a, policy, drift, tie_b}, false);
    EXPECT_EQ(gate.evaluator_count(), 5u);
    EXPECT_TRUE(gate.evaluate(context()).is_permit());
    EXPECT_EQ(log.calls, (std::vector<std::string>{"policy", "tie-a", "drift", "tie-b", "invariants"}));
}

TEST_F(GateTest, FirstRefusalWinsAndLaterEvaluatorsDoNotRun) {
    auto first = std::make_shared<ScriptedEvaluator>("policy", 50, refuses("policy"));
    auto second = std::make_shared<ScriptedEvaluator>("drift", 100, invalidates());
    auto broadcaster = std::make_shared<RecordingBroadcaster>(false);
    const Gate gate = Gate({second, first}, false).with_broadcaster(broadcaster);
    const ActionContext ctx = context();
    const Verdict v = gate.evaluate(ctx);
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(v.refusal()->evaluator, "policy");
    EXPECT_EQ(v.refusal()->evaluation_id, ctx.evaluation_id);
    EXPECT_EQ(second->calls, 0);
    EXPECT_TRUE(broadcaster->published.empty());
    const auto refused = sink->find("action refused", "ostrel_core::gate");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].level, lg::Level::Warn);
    EXPECT_EQ(refused[0].field("evaluator"), "policy");
    EXPECT_EQ(refused[0].field("reason"), "[POLICY_DENIED] policy: not allowed");
}

TEST_F(GateTest, InvalidationIsPublishedOnceAndReachesSubscribers) {
    auto drift = std::make_shared<ScriptedEvaluator>("drift", 100, invalidates());
    auto later = std::make_shared<ScriptedEvaluator>("invariants", 150, permits());
    auto broadcaster = std::make_shared<RecordingBroadcaster>(false);
    InvalidationReceiver rx = broadcaster->subscribe();
    const Gate gate = Gate({drift, later}, false).with_broadcaster(broadcaster);
    const ActionContext ctx = context();
    const Verdict v = gate.evaluate(ctx);
    ASSERT_TRUE(v.is_invalidate());
    EXPECT_EQ(later->calls, 0);
    ASSERT_EQ(broadcaster->published.size(), 1u);
    EXPECT_EQ(broadcaster->published[0], *v.invalidation());
    auto got = rx.try_recv();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, *v.invalidation());
    const auto events = sink->find("authority invalidated", "ostrel_core::gate");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, lg::Level::Error);
    EXPECT_EQ(events[0].field("evaluator"), "drift");
    EXPECT_EQ(events[0].field("scope"), v.invalidation()->to_string());
    EXPECT_EQ(sink->count("invalidation broadcast failed, local verdict unaffected"), 0u);
}

TEST_F(GateTest, FailedBroadcastIsLoggedAndTheInvalidationStands) {
    auto drift = std::make_shared<ScriptedEvaluator>("drift", 100, invalidates());
    auto broadcaster = std::make_shared<RecordingBroadcaster>(true);
    const Gate gate = Gate({drift}, false).with_broadcaster(broadcaster);
    const Verdict v = gate.evaluate(context());
    ASSERT_TRUE(v.is_invalidate());
    ASSERT_EQ(broadcaster->published.size(), 1u);
    EXPECT_EQ(broadcaster->published[0], *v.invalidation());
    const auto failed = sink->find("invalidation broadcast failed, local verdict unaffected", "ostrel_core::gate");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].level, lg::Level::Warn);
    EXPECT_EQ(failed[0].field("error"), "invalidation broadcast backend unavailable: connection refused");
    EXPECT_EQ(failed[0].field("scope"), v.invalidation()->to_string());
}

TEST_F(GateTest, SigningFailureBecomesAnIdentityRefusal) {
    auto policy = std::make_shared<ScriptedEvaluator>("policy", 50, permits());
    auto signer = std::make_shared<FakeSigner>(true);
    const Gate gate = Gate({policy}, false).with_token_signer(signer);
    const ActionContext ctx = context();
    const Verdict v = gate.evaluate(ctx);
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(*v.refusal(), (RefuseReason{"gate", "token signing failed: serialization error: signing key unavailable",
                                          ctx.evaluation_id, RefuseCode::IdentityFailed}));
    const auto events = sink->find("token signing failed, refusing action (fail-closed)", "ostrel_core::gate");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, lg::Level::Error);
    EXPECT_EQ(events[0].field("error"), "serialization error: signing key unavailable");
    EXPECT_EQ(sink->count("all evaluators passed, action permitted"), 0u);
}

TEST_F(GateTest, FinalTokenIsNeverAnEvaluatorsToken) {
    auto a = std::make_shared<ScriptedEvaluator>("policy", 50, permits());
    auto b = std::make_shared<ScriptedEvaluator>("drift", 100, permits());
    const Gate gate({a, b}, false);
    const Verdict v = gate.evaluate(context());
    ASSERT_TRUE(v.is_permit());
    ASSERT_EQ(a->minted.size(), 1u);
    ASSERT_EQ(b->minted.size(), 1u);
    EXPECT_NE(v.permit()->token_id, a->minted[0]);
    EXPECT_NE(v.permit()->token_id, b->minted[0]);
}

TEST_F(GateTest, PermitPathLogsItsEventsInOrder) {
    auto policy = std::make_shared<ScriptedEvaluator>("policy", 50, permits());
    const Gate gate({policy}, false);
    const ActionContext ctx = context();
    ASSERT_TRUE(gate.evaluate(ctx).is_permit());
    const auto events = gate_events();
    ASSERT_EQ(events.size(), 4u);
    const std::string eval_id = ctx.evaluation_id.to_string();

    EXPECT_EQ(events[0].message, "gate evaluation started");
    EXPECT_EQ(events[0].level, lg::Level::Info);
    EXPECT_EQ(events[0].fields, (std::vector<std::pair<std::string, std::string>>{
                                    {"evaluation_id", eval_id}, {"principal", "agent-1"}, {"action", "orders.create"}}));
    EXPECT_EQ(events[1].message, "running evaluator");
    EXPECT_EQ(events[1].level, lg::Level::Debug);
    EXPECT_EQ(events[1].fields, (std::vector<std::pair<std::string, std::string>>{{"evaluator", "policy"},
                                                                                  {"priority", "50"}}));
    EXPECT_EQ(events[2].message, "evaluator permits");
    EXPECT_EQ(events[2].level, lg::Level::Debug);
    EXPECT_EQ(events[2].field("evaluator"), "policy");
    EXPECT_EQ(events[3].message, "all evaluators passed, action permitted");
    EXPECT_EQ(events[3].level, lg::Level::Info);
    EXPECT_EQ(events[3].fields, (std::vector<std::pair<std::string, std::string>>{{"evaluation_id", eval_id}}));
}

TEST_F(GateTest, ObserveOnlyTurnsARefusalIntoAnUnsignedPermit) {
    auto policy = std::make_shared<ScriptedEvaluator>("policy", 50, refuses("policy"));
    auto signer = std::make_shared<FakeSigner>(false);
    const Gate gate = Gate({policy}, true).with_token_signer(signer);
    EXPECT_TRUE(gate.observe_only());
    const ActionContext ctx = context();
    const Verdict v = gate.evaluate_observe_only(ctx);
    ASSERT_TRUE(v.is_permit());
    EXPECT_EQ(v.permit()->evaluation_id, ctx.evaluation_id);
    EXPECT_EQ(v.permit()->action_name, "orders.create");
    EXPECT_FALSE(v.permit()->signature.has_value());
    EXPECT_EQ(policy->calls, 1);
    const auto events = sink->find("observe-only: would have blocked this action", "ostrel_core::gate");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, lg::Level::Info);
    EXPECT_EQ(events[0].field("evaluation_id"), ctx.evaluation_id.to_string());
    EXPECT_EQ(events[0].field("action"), "orders.create");
}

TEST_F(GateTest, ObserveOnlyStillBroadcastsInvalidations) {
    auto drift = std::make_shared<ScriptedEvaluator>("drift", 100, invalidates());
    auto broadcaster = std::make_shared<RecordingBroadcaster>(false);
    const Gate gate = Gate({drift}, true).with_broadcaster(broadcaster);
    const ActionContext ctx = context();
    const Verdict v = gate.evaluate_observe_only(ctx);
    ASSERT_TRUE(v.is_permit());
    ASSERT_EQ(broadcaster->published.size(), 1u);
    EXPECT_EQ(broadcaster->published[0].target, InvalidationTarget::session(ctx.session.session_id));
}

TEST_F(GateTest, ObserveOnlySignsButHandsBackAFreshUnsignedToken) {
    auto policy = std::make_shared<ScriptedEvaluator>("policy", 50, permits());
    auto signer = std::make_shared<FakeSigner>(false);
    const Gate gate = Gate({policy}, true).with_token_signer(signer);
    const ActionContext ctx = context();
    const Verdict observed = gate.evaluate_observe_only(ctx);
    ASSERT_TRUE(observed.is_permit());
    EXPECT_FALSE(observed.permit()->signature.has_value());
    EXPECT_EQ(signer->calls, 1) << "the full evaluation still signs";
    EXPECT_NE(observed.permit()->token_id, policy->minted.at(0));
    EXPECT_EQ(sink->count("observe-only: would have blocked this action"), 0u);
}

TEST_F(GateTest, BuilderStepsReplaceComponents) {
    auto b1 = std::make_shared<RecordingBroadcaster>(false);
    auto s1 = std::make_shared<FakeSigner>(false);
    Gate gate({}, false);
    EXPECT_NE(gate.broadcaster(), nullptr) << "a no-op broadcaster by default";
    EXPECT_EQ(gate.token_signer(), nullptr);
    gate.with_broadcaster(b1).with_token_signer(s1);
    EXPECT_EQ(gate.broadcaster(), b1);
    EXPECT_EQ(gate.token_signer(), s1);
    gate.with_broadcaster(nullptr).with_token_signer(nullptr);
    EXPECT_NE(gate.broadcaster(), nullptr);
    EXPECT_NE(gate.broadcaster(), b1);
    EXPECT_EQ(gate.token_signer(), nullptr);
    EXPECT_EQ(b1.use_count(), 1) << "the replaced broadcaster was released";
}

TEST_F(GateTest, ConcurrentEvaluationsAreIndependent) {
    std::atomic<int> seen{0};
    auto policy = std::make_shared<ScriptedEvaluator>("policy", 50, [&](const ActionContext& ctx) {
        ++seen;
        if (ctx.principal.id == "bad") return Verdict::refuse("policy", "no", ctx.evaluation_id, RefuseCode::PolicyDenied);
        return Verdict(PermitToken::create(ctx.evaluation_id, ctx.action.name));
    });
    const Gate gate({policy}, false);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                ActionContext ctx = context();
                if ((i + t) % 2) ctx.principal.id = "bad";
                const Verdict v = gate.evaluate(ctx);
                const bool ok = ctx.principal.id == "bad" ? v.is_refuse() : v.is_permit();
                const Uuid& id = v.is_permit() ? v.permit()->evaluation_id : v.refusal()->evaluation_id;
                if (!ok || id != ctx.evaluation_id) ++wrong;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(seen, 800);
}

TEST(NoopInvalidationBroadcaster, PublishSucceedsAndSubscribersNeverReceive) {
    auto noop = NoopInvalidationBroadcaster::create();
    InvalidationReceiver rx = noop->subscribe();
    const InvalidationScope scope{InvalidationTarget::principal("p"), "r", "drift"};
    EXPECT_TRUE(noop->publish(scope).has_value());
    auto first = rx.try_recv();
    ASSERT_FALSE(first.has_value());
    EXPECT_EQ(first.error().kind, BroadcastRecvError::Kind::Empty);
    noop.reset();
    auto after = rx.try_recv();
    ASSERT_FALSE(after.has_value());
    EXPECT_EQ(after.error().kind, BroadcastRecvError::Kind::Closed) << "closed once the broadcaster is gone";
}

TEST(BroadcastError, DisplayTexts) {
    EXPECT_EQ(BroadcastError::backend("down").display(), "invalidation broadcast backend unavailable: down");
    EXPECT_EQ(BroadcastError::lagged(7).display(), "invalidation subscriber lagged, 7 messages dropped");
    EXPECT_EQ(BroadcastError::closed().display(), "invalidation channel closed");
    EXPECT_EQ(BroadcastError::other("x").display(), "invalidation broadcast: x");
    EXPECT_EQ(BroadcastError::lagged(7).dropped(), 7u);
}

}  // namespace
