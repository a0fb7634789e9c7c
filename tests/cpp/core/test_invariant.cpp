// Invariants: every check kind, the evaluator's refusal text and log event,
// the gate-option builder, and concurrent use of one shared set.

#include "core/invariant.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/invariant_text.hpp"
#include "util/log.hpp"

namespace {

using namespace ostrel_core;
using nlohmann::json;
using ostrel_util::log::CapturingSink;
using ostrel_util::log::Level;
using ostrel_util::log::ScopedSink;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

ActionContext make_ctx(std::string action = "payments.refund") {
    return ActionContext::create(Principal{"agent-7", PrincipalKind::Agent, {"billing"}},
                                 ActionDescriptor(std::move(action)), SessionState::create(), EnvContext{});
}

ActionContext ctx_with_param(const std::string& name, std::optional<json> value) {
    ActionContext ctx = make_ctx();
    if (value) ctx.action.set_param(name, *value);
    return ctx;
}

Timestamp at(std::int64_t secs, std::uint32_t nanos = 0) { return *Timestamp::from_unix(secs, nanos); }

// A fixed clock for InvariantSet, with a count of its readings.
Timestamp g_fixed_now;
std::atomic<int> g_clock_reads{0};
Timestamp fixed_clock() noexcept {
    g_clock_reads.fetch_add(1);
    return g_fixed_now;
}

// Installs a capturing sink for the test's lifetime.
struct LogCapture {
    std::shared_ptr<CapturingSink> sink = std::make_shared<CapturingSink>();
    ScopedSink guard{sink};
};

// ---------------------------------------------------------------------------
// Number text used in descriptions and drift messages

struct NumberCase {
    double value;
    const char* plain;
};

class PlainDecimalTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(PlainDecimalTest, ShortestPlainForm) {
    EXPECT_EQ(plain_decimal(GetParam().value), GetParam().plain);
}

INSTANTIATE_TEST_SUITE_P(Values, PlainDecimalTest,
                         ::testing::Values(NumberCase{100.0, "100"}, NumberCase{0.5, "0.5"},
                                           NumberCase{1e21, "1000000000000000000000"},
                                           NumberCase{1e-7, "0.0000001"}, NumberCase{-2.5, "-2.5"},
                                           NumberCase{0.1, "0.1"}, NumberCase{0.1 + 0.2, "0.30000000000000004"},
                                           NumberCase{123456.789, "123456.789"}, NumberCase{0.0, "0"},
                                           NumberCase{kNaN, "NaN"}, NumberCase{kInf, "inf"},
                                           NumberCase{-kInf, "-inf"}));

class OneDecimalTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(OneDecimalTest, RoundedToOnePlace) { EXPECT_EQ(one_decimal(GetParam().value), GetParam().plain); }

INSTANTIATE_TEST_SUITE_P(Values, OneDecimalTest,
                         ::testing::Values(NumberCase{2.04, "2.0"}, NumberCase{300.0, "300.0"},
                                           NumberCase{299.96, "300.0"}, NumberCase{0.0, "0.0"},
                                           NumberCase{16093.4417, "16093.4"}, NumberCase{-1.0, "-1.0"},
                                           NumberCase{1e21, "1000000000000000000000.0"},
                                           NumberCase{kNaN, "NaN"}, NumberCase{kInf, "inf"},
                                           NumberCase{-kInf, "-inf"}));

// ---------------------------------------------------------------------------
// Parameter ceilings and floors

struct ParamCase {
    const char* label;
    bool is_max;
    double limit;
    std::optional<json> value;  // absent: the parameter is missing
    bool holds;
};

class ParamLimitTest : public ::testing::TestWithParam<ParamCase> {};

TEST_P(ParamLimitTest, Holds) {
    const ParamCase& c = GetParam();
    const InvariantCheck check = c.is_max ? InvariantCheck(InvariantCheck::ParamMax{"amount", c.limit})
                                          : InvariantCheck(InvariantCheck::ParamMin{"amount", c.limit});
    EXPECT_EQ(check.holds(ctx_with_param("amount", c.value), Timestamp{}), c.holds) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParamLimitTest,
    ::testing::Values(
        ParamCase{"max_above", true, 500.0, json(750), false},
        ParamCase{"max_equal_is_inclusive", true, 500.0, json(500), true},
        ParamCase{"max_below_float", true, 500.0, json(499.5), true},
        ParamCase{"max_just_above_float", true, 500.0, json(500.000001), false},
        ParamCase{"max_missing_holds", true, 500.0, std::nullopt, true},
        ParamCase{"max_string_is_not_a_number", true, 500.0, json("750"), true},
        ParamCase{"max_null_holds", true, 500.0, json(nullptr), true},
        ParamCase{"max_bool_holds", true, 500.0, json(true), true},
        ParamCase{"max_array_holds", true, 500.0, json::array({750}), true},
        ParamCase{"max_negative_value", true, 500.0, json(-3), true},
        ParamCase{"max_unsigned_huge", true, 500.0, json(std::numeric_limits<std::uint64_t>::max()), false},
        ParamCase{"max_nan_limit_fails_present", true, kNaN, json(1), false},
        ParamCase{"max_nan_limit_missing_holds", true, kNaN, std::nullopt, true},
        ParamCase{"max_nan_value_fails", true, 500.0, json(kNaN), false},
        ParamCase{"max_infinite_limit", true, kInf, json(1e308), true},
        ParamCase{"min_below", false, 10.0, json(9), false},
        ParamCase{"min_equal_is_inclusive", false, 10.0, json(10), true},
        ParamCase{"min_above", false, 10.0, json(10.5), true},
        ParamCase{"min_missing_holds", false, 10.0, std::nullopt, true},
        ParamCase{"min_string_holds", false, 10.0, json("1"), true},
        ParamCase{"min_nan_limit_fails_present", false, kNaN, json(100), false},
        ParamCase{"min_nan_value_fails", false, 10.0, json(kNaN), false},
        ParamCase{"min_negative_limit", false, -5.0, json(-5), true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ParamLimit, LooksUpItsOwnParameterOnly) {
    ActionContext ctx = make_ctx();
    ctx.action.set_param("amount", 10);
    ctx.action.set_param("fee", 9999);
    EXPECT_TRUE(Invariant::param_max("max_amount", "amount", 100).holds(ctx));
    EXPECT_FALSE(Invariant::param_max("max_fee", "fee", 100).holds(ctx));
}

// ---------------------------------------------------------------------------
// Session action count

struct CountCase {
    std::uint64_t limit;
    std::uint64_t count;
    bool holds;
};

class MaxActionsTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(MaxActionsTest, ComparesTheCarriedCount) {
    ActionContext ctx = make_ctx();
    ctx.session.action_count = GetParam().count;
    const InvariantCheck check(InvariantCheck::MaxActionsPerSession{GetParam().limit});
    EXPECT_EQ(check.holds(ctx, Timestamp{}), GetParam().holds);
}

INSTANTIATE_TEST_SUITE_P(Cases, MaxActionsTest,
                         ::testing::Values(CountCase{10, 10, true}, CountCase{10, 11, false},
                                           CountCase{10, 0, true}, CountCase{0, 0, true}, CountCase{0, 1, false},
                                           CountCase{UINT64_MAX, UINT64_MAX, true},
                                           CountCase{UINT64_MAX - 1, UINT64_MAX, false}));

// ---------------------------------------------------------------------------
// Session age

struct AgeCase {
    const char* label;
    std::int64_t limit;
    std::int64_t now_secs;  // the session starts at 1'700'000'000 s + 0.25 s
    std::uint32_t now_nanos;
    bool holds;
};

class MaxSessionAgeTest : public ::testing::TestWithParam<AgeCase> {};

TEST_P(MaxSessionAgeTest, AgeInWholeSecondsTowardZero) {
    const AgeCase& c = GetParam();
    ActionContext ctx = make_ctx();
    ctx.session.started_at = at(1'700'000'000, 250'000'000);
    const Invariant inv = Invariant::max_session_age("max_age", c.limit);
    EXPECT_EQ(inv.holds_at(ctx, at(c.now_secs, c.now_nanos)), c.holds) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MaxSessionAgeTest,
    ::testing::Values(AgeCase{"exactly_at_limit", 3600, 1'700'003'600, 250'000'000, true},
                      AgeCase{"fraction_below_next_second", 3600, 1'700'003'601, 249'999'999, true},
                      AgeCase{"one_second_over", 3600, 1'700'003'601, 250'000'000, false},
                      AgeCase{"future_start_nonnegative_limit", 0, 1'699'999'000, 0, true},
                      AgeCase{"half_second_in_future_is_zero", 0, 1'699'999'999, 750'000'000, true},
                      AgeCase{"negative_limit_future_start_not_far_enough", -10, 1'699'999'995, 250'000'000,
                              false},
                      AgeCase{"negative_limit_future_start_far_enough", -10, 1'699'999'989, 750'000'000, true},
                      AgeCase{"zero_limit_one_second_old", 0, 1'700'000'001, 250'000'000, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(WholeSecondsBetween, TruncatesTowardZeroBothWays) {
    EXPECT_EQ(whole_seconds_between(at(10, 900'000'000), at(12, 100'000'000)), 1);
    EXPECT_EQ(whole_seconds_between(at(12, 100'000'000), at(10, 900'000'000)), -1);
    EXPECT_EQ(whole_seconds_between(at(10, 500'000'000), at(10, 0)), 0);
    EXPECT_EQ(whole_seconds_between(at(10, 0), at(10, 999'999'999)), 0);
    // The whole range: year 1 to year 9999, more than int64 nanoseconds hold.
    EXPECT_EQ(whole_seconds_between(at(Timestamp::kMinSeconds), at(Timestamp::kMaxSeconds, 999'999'999)),
              Timestamp::kMaxSeconds - Timestamp::kMinSeconds);
}

// ---------------------------------------------------------------------------
// Allow-lists and block-lists

struct ListCase {
    const char* label;
    std::vector<std::string> list;
    const char* action;
    bool allowed_holds;
    bool blocked_holds;
};

class ActionListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(ActionListTest, ExactByteComparison) {
    const ListCase& c = GetParam();
    const ActionContext ctx = make_ctx(c.action);
    EXPECT_EQ(Invariant::allowed_actions("allow", c.list).holds(ctx), c.allowed_holds) << c.label;
    EXPECT_EQ(Invariant::blocked_actions("block", c.list).holds(ctx), c.blocked_holds) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ActionListTest,
    ::testing::Values(ListCase{"empty_list", {}, "orders.create", false, true},
                      ListCase{"listed", {"orders.create"}, "orders.create", true, false},
                      ListCase{"second_entry", {"orders.read", "orders.create"}, "orders.create", true, false},
                      ListCase{"case_differs", {"orders.create"}, "Orders.create", false, true},
                      ListCase{"no_patterns", {"orders.*"}, "orders.create", false, true},
                      ListCase{"trailing_space", {"orders.create"}, "orders.create ", false, true},
                      ListCase{"prefix_only", {"orders"}, "orders.create", false, true}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Custom predicates

TEST(CustomInvariant, PredicateSeesTheContext) {
    const Invariant inv = Invariant::custom("not_test_tenant", "the test tenant never acts",
                                            [](const ActionContext& ctx) { return ctx.principal.id != "test"; });
    ActionContext ctx = make_ctx();
    EXPECT_TRUE(inv.holds(ctx));
    ctx.principal.id = "test";
    EXPECT_FALSE(inv.holds(ctx));
}

TEST(CustomInvariant, ThrowingPredicateDoesNotHold) {
    const Invariant inv = Invariant::custom("explodes", "d", [](const ActionContext&) -> bool {
        throw std::runtime_error("lookup failed");
    });
    EXPECT_FALSE(inv.holds(make_ctx()));
}

TEST(CustomInvariant, MissingPredicateDoesNotHold) {
    EXPECT_FALSE(Invariant::custom("empty_function", "d", InvariantPredicate{}).holds(make_ctx()));
    const Invariant null_ptr("null", "d", InvariantCheck::Custom{nullptr});
    EXPECT_FALSE(null_ptr.holds(make_ctx()));
}

TEST(CustomInvariant, CopiesShareOnePredicate) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    const Invariant original = Invariant::custom("count", "d", [calls](const ActionContext&) {
        calls->fetch_add(1);
        return true;
    });
    const Invariant copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_TRUE(original.holds(make_ctx()));
    EXPECT_TRUE(copy.holds(make_ctx()));
    EXPECT_EQ(calls->load(), 2);
    const auto* a = std::get_if<InvariantCheck::Custom>(&original.check().value());
    const auto* b = std::get_if<InvariantCheck::Custom>(&copy.check().value());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->predicate.get(), b->predicate.get());
}

// ---------------------------------------------------------------------------
// Builders and their descriptions

TEST(InvariantBuilders, NamesKindsAndDescriptions) {
    struct Expect {
        Invariant inv;
        InvariantCheck::Kind kind;
        const char* name;
        const char* description;
    };
    const std::vector<Expect> cases = {
        {Invariant::param_max("max_amount", "amount", 500.0), InvariantCheck::Kind::ParamMax, "max_amount",
         "parameter 'amount' must be at most 500"},
        {Invariant::param_min("min_qty", "qty", 0.5), InvariantCheck::Kind::ParamMin, "min_qty",
         "parameter 'qty' must be at least 0.5"},
        {Invariant::max_actions_per_session(10), InvariantCheck::Kind::MaxActionsPerSession,
         "max_session_actions", "maximum 10 actions per session"},
        {Invariant::max_session_age("max_age", 3600), InvariantCheck::Kind::MaxSessionAge, "max_age",
         "session must be at most 3600s old"},
        {Invariant::allowed_actions("allow", {"a.read", "a.list"}), InvariantCheck::Kind::AllowedActions, "allow",
         "action must be one of: a.read, a.list"},
        {Invariant::allowed_actions("nothing", {}), InvariantCheck::Kind::AllowedActions, "nothing",
         "no action is allowed"},
        {Invariant::blocked_actions("block", {"db.drop"}), InvariantCheck::Kind::BlockedActions, "block",
         "action must not be one of: db.drop"},
        {Invariant::custom("mine", "my own words", [](const ActionContext&) { return true; }),
         InvariantCheck::Kind::Custom, "mine", "my own words"},
    };
    for (const Expect& e : cases) {
        EXPECT_EQ(e.inv.check().kind(), e.kind) << e.name;
        EXPECT_EQ(e.inv.name(), e.name);
        EXPECT_EQ(e.inv.description(), e.description);
    }
}

TEST(InvariantBuilders, OnlySessionAgeReadsTheClock) {
    EXPECT_TRUE(Invariant::max_session_age("a", 1).check().reads_clock());
    EXPECT_FALSE(Invariant::param_max("m", "p", 1).check().reads_clock());
    EXPECT_FALSE(Invariant::max_actions_per_session(1).check().reads_clock());
}

// ---------------------------------------------------------------------------
// The evaluator

TEST(InvariantSetEvaluator, Identity) {
    const InvariantSet set({});
    EXPECT_EQ(set.name(), "invariants");
    EXPECT_EQ(set.priority(), 150u);
}

TEST(InvariantSetEvaluator, EmptySetPermitsWithATokenForTheContext) {
    LogCapture logs;
    const InvariantSet set({});
    const ActionContext ctx = make_ctx("orders.create");
    const Verdict v = set.evaluate(ctx);
    ASSERT_TRUE(v.is_permit());
    EXPECT_EQ(v.permit()->evaluation_id, ctx.evaluation_id);
    EXPECT_EQ(v.permit()->action_name, "orders.create");
    EXPECT_FALSE(v.permit()->signature.has_value());
    EXPECT_TRUE(logs.sink->events().empty());
}

TEST(InvariantSetEvaluator, AllHoldingPermitsWithoutLogging) {
    LogCapture logs;
    const InvariantSet set({Invariant::param_max("max_amount", "amount", 500),
                            Invariant::blocked_actions("no_drop", {"db.drop"})});
    const ActionContext ctx = ctx_with_param("amount", json(100));
    EXPECT_TRUE(set.evaluate(ctx).is_permit());
    EXPECT_TRUE(logs.sink->events().empty());
}

TEST(InvariantSetEvaluator, RefusesAtTheFirstViolationAndLogsIt) {
    LogCapture logs;
    auto later_calls = std::make_shared<std::atomic<int>>(0);
    const InvariantSet set({
        Invariant::blocked_actions("no_drop", {"db.drop"}),
        Invariant::param_max("max_amount", "amount", 500),
        Invariant::param_max("max_amount_again", "amount", 100),
        Invariant::custom("counted", "never reached",
                          [later_calls](const ActionContext&) {
                              later_calls->fetch_add(1);
                              return true;
                          }),
    });
    const ActionContext ctx = ctx_with_param("amount", json(750));
    const Verdict v = set.evaluate(ctx);

    ASSERT_TRUE(v.is_refuse());
    const RefuseReason& r = *v.refusal();
    EXPECT_EQ(r.evaluator, "invariants");
    EXPECT_EQ(r.code, RefuseCode::InvariantViolation);
    EXPECT_EQ(r.evaluation_id, ctx.evaluation_id);
    EXPECT_EQ(r.reason, "invariant 'max_amount' violated: parameter 'amount' must be at most 500");
    EXPECT_EQ(later_calls->load(), 0) << "invariants after the first violation must not run";

    const auto events = logs.sink->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, Level::Error);
    EXPECT_EQ(events[0].target, "ostrel_core::invariant");
    EXPECT_EQ(events[0].message, "invariant violation");
    EXPECT_EQ(events[0].field("invariant"), "max_amount");
    EXPECT_EQ(events[0].field("description"), "parameter 'amount' must be at most 500");
}

TEST(InvariantSetEvaluator, FirstViolatedReportsTheInvariant) {
    const InvariantSet set({Invariant::allowed_actions("only_reads", {"docs.read"}),
                            Invariant::max_actions_per_session(1)});
    ActionContext ctx = make_ctx("docs.read");
    EXPECT_EQ(set.first_violated(ctx), nullptr);
    ctx.session.action_count = 2;
    ASSERT_NE(set.first_violated(ctx), nullptr);
    EXPECT_EQ(set.first_violated(ctx)->name(), "max_session_actions");
    ctx.action.name = "docs.write";
    EXPECT_EQ(set.first_violated(ctx)->name(), "only_reads");
}

TEST(InvariantSetEvaluator, EmptyAllowListRefusesEverythingEmptyBlockListNothing) {
    const InvariantSet allow({Invariant::allowed_actions("allow_none", {})});
    const InvariantSet block({Invariant::blocked_actions("block_none", {})});
    for (const char* action : {"docs.read", "", "db.drop"}) {
        EXPECT_TRUE(allow.evaluate(make_ctx(action)).is_refuse()) << action;
        EXPECT_TRUE(block.evaluate(make_ctx(action)).is_permit()) << action;
    }
}

TEST(InvariantSetEvaluator, SessionAgeUsesTheSetsClockOncePerEvaluation) {
    g_fixed_now = at(1'700'000'000);
    g_clock_reads = 0;
    const InvariantSet set({Invariant::max_session_age("age_a", 60), Invariant::max_session_age("age_b", 120)},
                           &fixed_clock);
    ActionContext ctx = make_ctx();
    ctx.session.started_at = at(1'700'000'000 - 60);
    EXPECT_TRUE(set.evaluate(ctx).is_permit());
    EXPECT_EQ(g_clock_reads.load(), 1);
    ctx.session.started_at = at(1'700'000'000 - 61);
    const Verdict v = set.evaluate(ctx);
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(v.refusal()->reason, "invariant 'age_a' violated: session must be at most 60s old");
    // A session that starts in the future is not too old.
    ctx.session.started_at = at(1'700'000'000 + 3600);
    EXPECT_TRUE(set.evaluate(ctx).is_permit());
}

TEST(InvariantSetEvaluator, ClockIsNotReadWithoutAgeInvariants) {
    g_clock_reads = 0;
    const InvariantSet set({Invariant::param_max("m", "amount", 1), Invariant::max_actions_per_session(5)},
                           &fixed_clock);
    (void)set.evaluate(make_ctx());
    EXPECT_EQ(g_clock_reads.load(), 0);
}

// ---------------------------------------------------------------------------
// Gate options

TEST(InvariantOptionsBuild, NothingConfiguredGivesNoSet) {
    EXPECT_EQ(InvariantSet::from_options(InvariantOptions{}), nullptr);
    EXPECT_TRUE(InvariantOptions{}.to_invariants().empty());
}

TEST(InvariantOptionsBuild, CeilingRefusesWithTheDocumentedReason) {
    InvariantOptions opts;
    opts.param_ceilings.push_back({"max_amount", "amount", 500.0});
    const auto set = InvariantSet::from_options(opts);
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->size(), 1u);

    const ActionContext over = ctx_with_param("amount", json(750));
    const Verdict v = set->evaluate(over);
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(v.refusal()->evaluator, "invariants");
    EXPECT_EQ(v.refusal()->code, RefuseCode::InvariantViolation);
    EXPECT_EQ(v.refusal()->reason, "invariant 'max_amount' violated: parameter 'amount' must be at most 500");
    EXPECT_EQ(v.refusal()->to_string(),
              "[INVARIANT_VIOLATION] invariants: invariant 'max_amount' violated: parameter 'amount' must be at "
              "most 500");

    EXPECT_TRUE(set->evaluate(ctx_with_param("amount", json(500))).is_permit());
    EXPECT_TRUE(set->evaluate(ctx_with_param("amount", std::nullopt)).is_permit());
    EXPECT_TRUE(set->evaluate(ctx_with_param("amount", json("750"))).is_permit());
}

struct DescriptionCase {
    double limit;
    const char* description;
};

class CeilingDescriptionTest : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(CeilingDescriptionTest, LimitInPlainDecimal) {
    InvariantOptions opts;
    opts.param_ceilings.push_back({"ceiling", "amount", GetParam().limit});
    const std::vector<Invariant> list = opts.to_invariants();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name(), "ceiling");
    EXPECT_EQ(list[0].description(), GetParam().description);
    const auto* check = std::get_if<InvariantCheck::ParamMax>(&list[0].check().value());
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->param, "amount");
}

INSTANTIATE_TEST_SUITE_P(
    Limits, CeilingDescriptionTest,
    ::testing::Values(DescriptionCase{100.0, "parameter 'amount' must be at most 100"},
                      DescriptionCase{0.5, "parameter 'amount' must be at most 0.5"},
                      DescriptionCase{1e21, "parameter 'amount' must be at most 1000000000000000000000"},
                      DescriptionCase{-20.25, "parameter 'amount' must be at most -20.25"},
                      DescriptionCase{kNaN, "parameter 'amount' must be at most NaN"},
                      DescriptionCase{kInf, "parameter 'amount' must be at most inf"},
                      DescriptionCase{-kInf, "parameter 'amount' must be at most -inf"}));

TEST(InvariantOptionsBuild, SessionCapComesLastAndIsInclusive) {
    InvariantOptions opts;
    opts.max_session_actions = 10;
    const auto set = InvariantSet::from_options(opts);
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->size(), 1u);
    EXPECT_EQ(set->invariants()[0].name(), "max_session_actions");

    ActionContext ctx = make_ctx();
    ctx.session.action_count = 10;
    EXPECT_TRUE(set->evaluate(ctx).is_permit());
    ctx.session.action_count = 11;
    const Verdict v = set->evaluate(ctx);
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(v.refusal()->reason, "invariant 'max_session_actions' violated: maximum 10 actions per session");
}

TEST(InvariantOptionsBuild, OrderIsCeilingsInGivenOrderThenSessionCap) {
    InvariantOptions opts;
    opts.param_ceilings.push_back({"max_amount", "amount", 500.0});
    opts.param_ceilings.push_back({"max_amount_strict", "amount", 100.0});
    opts.max_session_actions = 0;
    const auto set = InvariantSet::from_options(opts);
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->size(), 3u);
    EXPECT_EQ(set->invariants()[0].name(), "max_amount");
    EXPECT_EQ(set->invariants()[1].name(), "max_amount_strict");
    EXPECT_EQ(set->invariants()[2].name(), "max_session_actions");

    ActionContext ctx = ctx_with_param("amount", json(750));
    ctx.session.action_count = 5;  // also violates the cap of 0
    EXPECT_EQ(set->evaluate(ctx).refusal()->reason,
              "invariant 'max_amount' violated: parameter 'amount' must be at most 500");
    ctx.action.set_param("amount", 200);  // only the strict ceiling and the cap fail
    EXPECT_EQ(set->evaluate(ctx).refusal()->reason,
              "invariant 'max_amount_strict' violated: parameter 'amount' must be at most 100");
    ctx.action.set_param("amount", 50);
    EXPECT_EQ(set->evaluate(ctx).refusal()->reason,
              "invariant 'max_session_actions' violated: maximum 0 actions per session");
}

TEST(InvariantOptionsBuild, NaNCeilingRefusesCarriersOnly) {
    InvariantOptions opts;
    opts.param_ceilings.push_back({"broken", "amount", kNaN});
    const auto set = InvariantSet::from_options(opts);
    ASSERT_NE(set, nullptr);
    EXPECT_TRUE(set->evaluate(ctx_with_param("amount", json(0))).is_refuse());
    EXPECT_TRUE(set->evaluate(ctx_with_param("amount", json(-1e300))).is_refuse());
    EXPECT_TRUE(set->evaluate(ctx_with_param("amount", std::nullopt)).is_permit());
}

// ---------------------------------------------------------------------------
// Concurrency: one shared set, many threads

TEST(InvariantSetConcurrency, SharedSetGivesEveryThreadTheRightAnswer) {
    auto calls = std::make_shared<std::atomic<std::uint64_t>>(0);
    const auto set = InvariantSet::create({
        Invariant::param_max("max_amount", "amount", 500),
        Invariant::custom("not_blocked", "principal is not blocked",
                          [calls](const ActionContext& ctx) {
                              calls->fetch_add(1, std::memory_order_relaxed);
                              return ctx.principal.id != "blocked";
                          }),
    });
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                ActionContext ctx = ctx_with_param("amount", json((i + t) % 3 == 0 ? 900 : 100));
                if (i % 5 == 0) ctx.principal.id = "blocked";
                const bool expect_permit = (i + t) % 3 != 0 && i % 5 != 0;
                const Verdict v = set->evaluate(ctx);
                if (v.is_permit() != expect_permit) wrong.fetch_add(1);
                if (!expect_permit && (!v.is_refuse() || v.refusal()->evaluation_id != ctx.evaluation_id)) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(calls->load(), 0u);
}

}  // namespace
