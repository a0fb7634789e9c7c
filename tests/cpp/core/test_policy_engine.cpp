// Policy engine: compilation, condition semantics, first match by priority,
// default deny, rate limits through the store, session ages, time windows
// with zones, hot reload and the log events.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <date/tz.h>
#include <nlohmann/json.hpp>

#include "core/policy_compiled.hpp"
#include "core/policy_engine.hpp"
#include "util/log.hpp"

namespace ostrel_core {
namespace {

using ostrel_util::log::CapturingSink;
using ostrel_util::log::Level;
using ostrel_util::log::ScopedSink;

// ---------------------------------------------------------------------------
// Fixtures and helpers

Timestamp at(std::string_view rfc3339) {
  auto t = Timestamp::parse_rfc3339(rfc3339);
  EXPECT_TRUE(t.has_value()) << rfc3339;
  return t.value_or(Timestamp{});
}

// A controllable clock for the engine: tests set the instant it reports.
std::atomic<std::int64_t> g_clock_seconds{1'800'000'000};
std::atomic<std::uint32_t> g_clock_nanos{0};
Timestamp test_clock() noexcept {
  return Timestamp::from_unix(g_clock_seconds.load(), g_clock_nanos.load()).value_or(Timestamp{});
}
void set_clock(std::int64_t seconds, std::uint32_t nanos = 0) {
  g_clock_seconds = seconds;
  g_clock_nanos = nanos;
}

ActionContext make_ctx(std::string principal = "p-1", std::string action = "orders.create",
                       std::vector<std::string> roles = {}, PrincipalKind kind = PrincipalKind::Agent) {
  return ActionContext::create(Principal{std::move(principal), kind, std::move(roles)},
                               ActionDescriptor(std::move(action)), SessionState::create(), EnvContext{});
}

PolicySet toml_set(std::string_view text) {
  auto set = PolicySet::from_toml(text);
  EXPECT_TRUE(set.has_value()) << (set ? "" : set.error().display());
  return set.value_or(PolicySet{});
}

Policy policy(std::string name, Effect effect, std::vector<Condition> conditions,
              std::uint32_t priority = kDefaultPolicyPriority) {
  Policy p;
  p.name = std::move(name);
  p.effect = effect;
  p.conditions = std::move(conditions);
  p.priority = priority;
  return p;
}

// A rate store that records every call and fails on demand. It counts with
// the same semantics as a real store so that limits behave.
class ScriptedStore final : public RateLimitStore {
 public:
  struct Call {
    std::string op;  // "record" or "count"
    std::string key;
    std::int64_t now;
    std::int64_t window;
  };

  std::expected<void, RateLimitStoreError> record(std::string_view key, std::int64_t now) override {
    std::lock_guard lock(mu_);
    calls_.push_back({"record", std::string(key), now, 0});
    if (fail_record) return std::unexpected(RateLimitStoreError::backend("connection refused"));
    events_.push_back({std::string(key), now});
    return {};
  }
  std::expected<std::uint64_t, RateLimitStoreError> count_in_window(std::string_view key, std::int64_t now,
                                                                   std::int64_t window) override {
    std::lock_guard lock(mu_);
    calls_.push_back({"count", std::string(key), now, window});
    if (fail_count) return std::unexpected(RateLimitStoreError::corrupt("bad reply"));
    std::uint64_t n = 0;
    for (const auto& [k, t] : events_) {
      if (k == key && t > now - window && t <= now) ++n;
    }
    return n;
  }
  std::vector<Call> calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }
  std::size_t count_calls(std::string_view op) const {
    std::size_t n = 0;
    for (const auto& c : calls()) n += c.op == op;
    return n;
  }

  std::atomic<bool> fail_record{false};
  std::atomic<bool> fail_count{false};

 private:
  mutable std::mutex mu_;
  std::vector<Call> calls_;
  std::vector<std::pair<std::string, std::int64_t>> events_;
};

class PolicyEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { set_clock(1'800'000'000); }

  std::shared_ptr<PolicyEngine> engine(PolicySet set, std::shared_ptr<RateLimitStore> store = nullptr) {
    return std::make_shared<PolicyEngine>(std::move(set), std::move(store), &test_clock);
  }

  std::shared_ptr<CapturingSink> sink_ = std::make_shared<CapturingSink>();
  ScopedSink scoped_{sink_};
};

void expect_refusal(const Verdict& v, const ActionContext& ctx, RefuseCode code, std::string_view reason) {
  ASSERT_TRUE(v.is_refuse());
  EXPECT_EQ(v.refusal()->evaluator, "policy");
  EXPECT_EQ(v.refusal()->code, code);
  EXPECT_EQ(v.refusal()->reason, reason);
  EXPECT_EQ(v.refusal()->evaluation_id, ctx.evaluation_id);
}

// ---------------------------------------------------------------------------
// Compilation

TEST(CompiledPolicySetTest, SortsStablyByPriorityAndNotesRateLimits) {
  PolicySet set{{
      policy("c100", Effect::Permit, {}),
      policy("a10", Effect::Refuse, {}, 10),
      policy("d100", Effect::Refuse, {}),
      policy("b10", Effect::Permit, {}, 10),
      policy("e0", Effect::Permit, {}, 0),
  }};
  const CompiledPolicySet compiled(set);
  std::vector<std::string> names;
  for (const auto& p : compiled.policies()) names.push_back(p.name);
  EXPECT_EQ(names, (std::vector<std::string>{"e0", "a10", "b10", "c100", "d100"}));
  ASSERT_EQ(compiled.compiled().size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(compiled.compiled()[i].name, compiled.policies()[i].name);
    EXPECT_EQ(compiled.compiled()[i].priority, compiled.policies()[i].priority);
  }
  EXPECT_FALSE(compiled.has_rate_limit());

  set.policies[3].conditions.push_back(RateLimitCondition{1, "1m"});
  EXPECT_TRUE(CompiledPolicySet(set).has_rate_limit());
  EXPECT_FALSE(CompiledPolicySet(PolicySet{}).has_rate_limit());
}

TEST(CompiledPolicySetTest, AppliesDurationFallbacksAndClampsHugeWindows) {
  const CompiledPolicySet compiled(PolicySet{{policy(
      "p", Effect::Permit,
      {RateLimitCondition{1, "90s"}, RateLimitCondition{1, "1.5h"}, RateLimitCondition{1, "18446744073709551615"},
       SessionAgeMaxCondition{"2h"}, SessionAgeMaxCondition{"a day"}})}});
  const auto& c = compiled.compiled()[0].conditions;
  EXPECT_EQ(c[0].window_secs, 90);
  EXPECT_EQ(c[1].window_secs, 3600);  // unparsable window
  // A window beyond anything a store keeps stays huge but safe to subtract from "now".
  EXPECT_GT(c[2].window_secs, std::int64_t{1} << 39);
  EXPECT_LT(c[2].window_secs, std::numeric_limits<std::int64_t>::max() / 2);
  EXPECT_EQ(c[3].age_limit_secs, 7200u);
  EXPECT_EQ(c[4].age_limit_secs, 86400u);  // unparsable age limit
}

// ---------------------------------------------------------------------------
// Patterns

struct PatternCase {
  std::string_view pattern;
  std::string_view text;
  bool matches;
};

class PolicyPatternTest : public ::testing::TestWithParam<PatternCase> {};

TEST_P(PolicyPatternTest, Matches) {
  const auto& c = GetParam();
  EXPECT_EQ(PolicyPattern(c.pattern).matches(c.text), c.matches)
      << "pattern \"" << c.pattern << "\" text \"" << c.text << "\"";
  // The compiled action and resource conditions match the same way.
  const auto action = CompiledCondition::compile(ActionCondition{std::string(c.pattern)});
  const auto resource = CompiledCondition::compile(ResourceCondition{std::string(c.pattern)});
  EXPECT_EQ(action.pattern_matches(c.text), c.matches);
  EXPECT_EQ(resource.pattern_matches(c.text), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, PolicyPatternTest,
    ::testing::Values(
        // "p.*": every text that starts with p (without the dot).
        PatternCase{"orders.*", "orders.create", true}, PatternCase{"orders.*", "orders", true},
        PatternCase{"orders.*", "ordersX", true}, PatternCase{"orders.*", "order", false},
        PatternCase{"orders.*", "Orders.create", false},
        // "p*": every text that starts with p.
        PatternCase{"orders*", "orders", true}, PatternCase{"orders*", "orders.create", true},
        PatternCase{"orders*", "order", false},
        // Exact.
        PatternCase{"orders", "orders", true}, PatternCase{"orders", "orders.create", false},
        PatternCase{"orders", "Orders", false}, PatternCase{"orders", "order", false},
        // Star alone, dot-star alone, empty pattern.
        PatternCase{"*", "", true}, PatternCase{"*", "anything at all", true}, PatternCase{".*", "x", true},
        PatternCase{"", "", true}, PatternCase{"", "x", false},
        // A star elsewhere is an ordinary character.
        PatternCase{"a*b", "a*b", true}, PatternCase{"a*b", "axb", false}, PatternCase{"*.read", "x.read", false},
        PatternCase{"*.read", "*.read", true},
        // Byte-for-byte: non-ASCII prefixes.
        PatternCase{"caf\u00e9.*", "caf\u00e9.open", true}, PatternCase{"caf\u00e9.*", "cafe.open", false}));

// ---------------------------------------------------------------------------
// Condition semantics (checked one condition at a time)

struct ConditionCase {
  std::string label;
  Condition condition;
  // Applied to a context with principal "p-1" (agent, roles ops and audit),
  // action "orders.create" without resource or parameters.
  void (*prepare)(ActionContext&);
  bool holds;
};

void PrintTo(const ConditionCase& c, std::ostream* os) { *os << c.label; }

void nothing(ActionContext&) {}

class ConditionTest : public ::testing::TestWithParam<ConditionCase> {};

TEST_P(ConditionTest, Holds) {
  const auto& c = GetParam();
  ActionContext ctx = make_ctx("p-1", "orders.create", {"ops", "audit"}, PrincipalKind::Agent);
  c.prepare(ctx);
  const CompiledCondition compiled = CompiledCondition::compile(c.condition);
  EXPECT_EQ(PolicyEngine::condition_holds(compiled, ctx, ostrel_util::now()), c.holds);
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, ConditionTest,
    ::testing::Values(
        ConditionCase{"role_present", IdentityRoleCondition{"audit"}, nothing, true},
        ConditionCase{"role_absent", IdentityRoleCondition{"admin"}, nothing, false},
        ConditionCase{"role_case_sensitive", IdentityRoleCondition{"Ops"}, nothing, false},
        ConditionCase{"role_without_roles", IdentityRoleCondition{"ops"},
                      [](ActionContext& c) { c.principal.roles.clear(); }, false},
        ConditionCase{"kind_equal", IdentityKindCondition{PrincipalKind::Agent}, nothing, true},
        ConditionCase{"kind_other", IdentityKindCondition{PrincipalKind::User}, nothing, false},
        ConditionCase{"id_equal", IdentityIdCondition{"p-1"}, nothing, true},
        ConditionCase{"id_prefix_is_not_equal", IdentityIdCondition{"p-"}, nothing, false},
        ConditionCase{"action_pattern", ActionCondition{"orders.*"}, nothing, true},
        ConditionCase{"action_exact_other", ActionCondition{"orders.delete"}, nothing, false},
        ConditionCase{"resource_absent", ResourceCondition{"*"}, nothing, false},
        ConditionCase{"resource_matches", ResourceCondition{"db/*"},
                      [](ActionContext& c) { c.action.resource = "db/users"; }, true},
        ConditionCase{"resource_other", ResourceCondition{"db/*"},
                      [](ActionContext& c) { c.action.resource = "fs/users"; }, false},
        ConditionCase{"max_equal_holds", ParamMaxCondition{"amount", 5.0},
                      [](ActionContext& c) { c.action.set_param("amount", 5); }, true},
        ConditionCase{"max_above", ParamMaxCondition{"amount", 5.0},
                      [](ActionContext& c) { c.action.set_param("amount", 5.5); }, false},
        ConditionCase{"max_unsigned_below", ParamMaxCondition{"amount", 5.0},
                      [](ActionContext& c) { c.action.set_param("amount", 4u); }, true},
        ConditionCase{"max_numeric_string", ParamMaxCondition{"amount", 5.0},
                      [](ActionContext& c) { c.action.set_param("amount", "5"); }, false},
        ConditionCase{"max_missing", ParamMaxCondition{"amount", 5.0}, nothing, false},
        ConditionCase{"max_null", ParamMaxCondition{"amount", 5.0},
                      [](ActionContext& c) { c.action.set_param("amount", nullptr); }, false},
        ConditionCase{"max_nan_value", ParamMaxCondition{"amount", 5.0},
                      [](ActionContext& c) {
                        c.action.set_param("amount", std::numeric_limits<double>::quiet_NaN());
                      },
                      false},
        ConditionCase{"max_nan_bound", ParamMaxCondition{"amount", std::numeric_limits<double>::quiet_NaN()},
                      [](ActionContext& c) { c.action.set_param("amount", 1); }, false},
        ConditionCase{"min_equal_holds", ParamMinCondition{"amount", -2.0},
                      [](ActionContext& c) { c.action.set_param("amount", -2); }, true},
        ConditionCase{"min_below", ParamMinCondition{"amount", -2.0},
                      [](ActionContext& c) { c.action.set_param("amount", -2.5); }, false},
        ConditionCase{"min_bool_is_not_a_number", ParamMinCondition{"amount", 0.0},
                      [](ActionContext& c) { c.action.set_param("amount", true); }, false},
        ConditionCase{"min_nan_value", ParamMinCondition{"amount", 0.0},
                      [](ActionContext& c) {
                        c.action.set_param("amount", std::numeric_limits<double>::quiet_NaN());
                      },
                      false},
        ConditionCase{"in_listed", ParamInCondition{"region", {"eu", "us"}},
                      [](ActionContext& c) { c.action.set_param("region", "us"); }, true},
        ConditionCase{"in_unlisted", ParamInCondition{"region", {"eu", "us"}},
                      [](ActionContext& c) { c.action.set_param("region", "EU"); }, false},
        ConditionCase{"in_number", ParamInCondition{"region", {"1"}},
                      [](ActionContext& c) { c.action.set_param("region", 1); }, false},
        ConditionCase{"in_missing", ParamInCondition{"region", {"eu"}}, nothing, false},
        ConditionCase{"in_empty_list", ParamInCondition{"region", {}},
                      [](ActionContext& c) { c.action.set_param("region", "eu"); }, false},
        ConditionCase{"age_young", SessionAgeMaxCondition{"1h"},
                      [](ActionContext& c) {
                        c.session.started_at = *ostrel_util::now().checked_add_seconds(-59 * 60);
                      },
                      true},
        ConditionCase{"age_old", SessionAgeMaxCondition{"1h"},
                      [](ActionContext& c) {
                        c.session.started_at = *ostrel_util::now().checked_add_seconds(-61 * 60);
                      },
                      false},
        ConditionCase{"age_unparsable_means_a_day_young", SessionAgeMaxCondition{"1 hour"},
                      [](ActionContext& c) {
                        c.session.started_at = *ostrel_util::now().checked_add_seconds(-23 * 3600);
                      },
                      true},
        ConditionCase{"age_unparsable_means_a_day_old", SessionAgeMaxCondition{"1 hour"},
                      [](ActionContext& c) {
                        c.session.started_at = *ostrel_util::now().checked_add_seconds(-25 * 3600);
                      },
                      false},
        ConditionCase{"age_future_session", SessionAgeMaxCondition{"0s"},
                      [](ActionContext& c) {
                        c.session.started_at = *ostrel_util::now().checked_add_seconds(3600);
                      },
                      true},
        ConditionCase{"rate_limit_needs_the_store", RateLimitCondition{100, "1m"}, nothing, false}),
    [](const ::testing::TestParamInfo<ConditionCase>& info) { return info.param.label; });

TEST_F(PolicyEngineTest, SessionAgeIsWholeSecondsTruncatedTowardZero) {
  const Condition limit = SessionAgeMaxCondition{"1h"};
  const CompiledCondition c = CompiledCondition::compile(limit);
  ActionContext ctx = make_ctx();
  const Timestamp now = *Timestamp::from_unix(1'800'000'000, 250'000'000);
  // 3600.9 s old: whole seconds 3600, within the limit.
  ctx.session.started_at = *Timestamp::from_unix(1'800'000'000 - 3601, 350'000'000);
  EXPECT_TRUE(PolicyEngine::condition_holds(c, ctx, now));
  // 3601.0 s old: over.
  ctx.session.started_at = *Timestamp::from_unix(1'800'000'000 - 3601, 250'000'000);
  EXPECT_FALSE(PolicyEngine::condition_holds(c, ctx, now));

  // Through the engine: the session age is measured against the engine's clock.
  auto e = engine(toml_set(R"toml(
[[policy]]
name = "fresh sessions"
effect = "permit"
conditions = [{ session_age_max = "1h" }]
)toml"));
  set_clock(1'800'000'000);
  ctx.session.started_at = *Timestamp::from_unix(1'800'000'000 - 3600);
  EXPECT_TRUE(e->evaluate(ctx).is_permit());
  ctx.session.started_at = *Timestamp::from_unix(1'800'000'000 - 3601);
  EXPECT_TRUE(e->evaluate(ctx).is_refuse());
}

// ---------------------------------------------------------------------------
// Time windows

struct WindowCase {
  std::string_view window;
  std::string_view instant;  // the context's timestamp, RFC 3339
  bool holds;
};

class TimeWindowTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(TimeWindowTest, JudgesTheContextsTimeOfDay) {
  const auto& c = GetParam();
  const PolicyTimeWindow w(c.window);
  ASSERT_EQ(w.status(), PolicyTimeWindow::Status::Ok) << c.window;
  EXPECT_EQ(w.contains(at(c.instant)), c.holds) << c.window << " at " << c.instant;
}

INSTANTIATE_TEST_SUITE_P(
    Windows, TimeWindowTest,
    ::testing::Values(
        // Plain windows in UTC, both ends inclusive, to the nanosecond.
        WindowCase{"09:00-17:00", "2026-06-01T09:00:00Z", true},
        WindowCase{"09:00-17:00", "2026-06-01T08:59:59.999999999Z", false},
        WindowCase{"09:00-17:00", "2026-06-01T17:00:00Z", true},
        WindowCase{"09:00-17:00", "2026-06-01T17:00:00.5Z", false},
        WindowCase{"09:00-17:00", "2026-06-01T12:00:00Z", true},
        WindowCase{"9:00-17:00", "2026-06-01T09:30:00Z", true},
        WindowCase{"00:00-23:59", "2026-06-01T23:59:30Z", false},
        WindowCase{"00:00-23:59", "2026-06-01T00:00:00Z", true},
        WindowCase{"12:00-12:00", "2026-06-01T12:00:00Z", true},
        WindowCase{"12:00-12:00", "2026-06-01T12:00:00.000000001Z", false},
        // Windows that wrap midnight.
        WindowCase{"22:00-06:00", "2026-06-01T23:30:00Z", true},
        WindowCase{"22:00-06:00", "2026-06-01T05:59:00Z", true},
        WindowCase{"22:00-06:00", "2026-06-01T06:00:00Z", true},
        WindowCase{"22:00-06:00", "2026-06-01T12:00:00Z", false},
        WindowCase{"22:00-06:00", "2026-06-01T21:59:59Z", false},
        // A zone: judged in local time with the offset at that instant.
        WindowCase{"09:00-17:00 UTC", "2026-06-01T16:59:00Z", true},
        WindowCase{"09:00-17:00 Europe/Berlin", "2026-06-01T07:30:00Z", true},   // 09:30 CEST
        WindowCase{"09:00-17:00 Europe/Berlin", "2026-06-01T15:30:00Z", false},  // 17:30 CEST
        WindowCase{"09:00-17:00 Europe/Berlin", "2026-01-15T15:30:00Z", true},   // 16:30 CET
        WindowCase{"09:00-17:00 Europe/Berlin", "2026-01-15T07:30:00Z", false},  // 08:30 CET
        WindowCase{"09:00-17:00\tAsia/Kolkata", "2026-01-15T03:30:00Z", true},   // 09:00 IST (+05:30)
        WindowCase{"09:00-17:00 America/New_York", "2026-06-01T13:00:00Z", true},   // 09:00 EDT
        WindowCase{"09:00-17:00 America/New_York", "2026-06-01T12:59:00Z", false},  // 08:59 EDT
        WindowCase{"22:00-02:00 Asia/Tokyo", "2026-06-01T16:00:00Z", true},  // 01:00 JST next day
        // Across the DST change in Berlin (2026-03-29 01:00 UTC): the same
        // UTC time of day is 08:30 local on Saturday and 09:30 on Sunday.
        WindowCase{"08:00-09:00 Europe/Berlin", "2026-03-28T07:30:00Z", true},
        WindowCase{"08:00-09:00 Europe/Berlin", "2026-03-29T07:30:00Z", false},
        WindowCase{"08:00-09:00 Europe/Berlin", "2026-03-29T06:30:00Z", true},
        WindowCase{"02:00-02:59 Europe/Berlin", "2026-03-29T00:59:59Z", false},  // 01:59:59 CET
        WindowCase{"02:00-02:59 Europe/Berlin", "2026-03-29T01:00:00Z", false},  // 03:00 CEST: 02:xx never exists
        WindowCase{"03:00-03:00 Europe/Berlin", "2026-03-29T01:00:00Z", true},
        // And back (2026-10-25 01:00 UTC): 02:30 local happens twice.
        WindowCase{"02:30-02:30 Europe/Berlin", "2026-10-25T00:30:00Z", true},  // 02:30 CEST
        WindowCase{"02:30-02:30 Europe/Berlin", "2026-10-25T01:30:00Z", true},  // 02:30 CET
        WindowCase{"02:30-02:30 Europe/Berlin", "2026-10-25T01:00:00Z", false},  // 02:00 CET
        // New York falls back on 2026-11-01 06:00 UTC.
        WindowCase{"01:00-01:59 America/New_York", "2026-11-01T05:30:00Z", true},   // 01:30 EDT
        WindowCase{"01:00-01:59 America/New_York", "2026-11-01T06:30:00Z", true},   // 01:30 EST
        WindowCase{"01:00-01:59 America/New_York", "2026-11-01T07:30:00Z", false},  // 02:30 EST
        // After the last transition the database lists (2037 in the usual
        // files), daylight saving goes on by the zone's rule.
        WindowCase{"09:00-17:00 Europe/Berlin", "2040-07-01T07:30:00Z", true},   // 09:30 CEST
        WindowCase{"09:00-17:00 Europe/Berlin", "2040-07-01T15:30:00Z", false},  // 17:30 CEST
        WindowCase{"09:00-17:00 Europe/Berlin", "2040-12-01T15:30:00Z", true},   // 16:30 CET
        WindowCase{"08:00-09:00 Europe/Berlin", "2041-03-31T06:30:00Z", true},   // 08:30 CEST (DST from 03-31)
        WindowCase{"08:00-09:00 Europe/Berlin", "2041-03-30T06:30:00Z", false},  // 07:30 CET
        WindowCase{"09:00-17:00 America/New_York", "2050-07-01T13:00:00Z", true},   // 09:00 EDT
        WindowCase{"09:00-17:00 America/New_York", "2050-12-01T13:00:00Z", false},  // 08:00 EST
        WindowCase{"09:00-17:00 Australia/Sydney", "2045-01-15T22:30:00Z", true},   // 09:30 AEDT (+11)
        WindowCase{"09:00-17:00 Australia/Sydney", "2045-07-15T22:30:00Z", false},  // 08:30 AEST (+10)
        WindowCase{"09:00-17:00 Asia/Tokyo", "2060-06-01T00:00:00Z", true},        // 09:00 JST, no DST
        // Instants before the epoch work too.
        WindowCase{"23:00-23:59", "1969-12-31T23:30:00Z", true}));

// The precomputed offsets agree with the time-zone database everywhere the
// database lists transitions: sample every 97 minutes (so sample points drift
// across every hour and minute) from 1950 to 2037.
TEST(TimeWindowZoneTest, OffsetsAgreeWithTheDatabaseThrough2037) {
  for (const char* name : {"Europe/Berlin", "America/New_York", "Australia/Sydney", "Asia/Kolkata",
                           "America/Sao_Paulo", "Pacific/Chatham", "UTC"}) {
    const PolicyTimeWindow w(std::string("00:00-23:59 ") + name);
    ASSERT_EQ(w.status(), PolicyTimeWindow::Status::Ok) << name;
    const date::time_zone* zone = date::locate_zone(name);
    std::size_t mismatches = 0;
    for (std::int64_t t = -631152000; t < 2145916800; t += 97 * 60) {  // 1950 .. 2038
      const auto info = zone->get_info(std::chrono::sys_seconds{std::chrono::seconds{t}});
      std::int64_t local = (t + info.offset.count()) % 86400;
      if (local < 0) local += 86400;
      const Timestamp instant = *Timestamp::from_unix(t, 123);
      if (w.local_time_of_day_nanos(instant) != local * 1'000'000'000 + 123) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0u) << name;
  }
}

struct MalformedWindowCase {
  std::string_view window;
  PolicyTimeWindow::Status status;
  std::string_view message;  // the WARN event
};

class MalformedTimeWindowTest : public PolicyEngineTest,
                                public ::testing::WithParamInterface<MalformedWindowCase> {};

TEST_P(MalformedTimeWindowTest, NeverHoldsAndWarnsOnEveryEvaluation) {
  const auto& c = GetParam();
  EXPECT_EQ(PolicyTimeWindow(c.window).status(), c.status);

  PolicySet set{{policy("office hours", Effect::Permit, {TimeWindowCondition{std::string(c.window)}})}};
  auto e = engine(std::move(set));
  ActionContext ctx = make_ctx();
  for (int i = 0; i < 2; ++i) {
    const Verdict v = e->evaluate(ctx);
    expect_refusal(v, ctx, RefuseCode::NoPolicyMatch, "no policy permits 'orders.create' for principal 'p-1'");
  }
  const auto events = sink_->find(c.message, "ostrel_core::policy");
  ASSERT_EQ(events.size(), 2u);  // logged on every evaluation that reaches it
  EXPECT_EQ(events[0].level, Level::Warn);
  EXPECT_EQ(events[0].field("window"), std::string(c.window));
  if (c.status == PolicyTimeWindow::Status::UnknownZone) {
    EXPECT_TRUE(events[0].has_field("tz"));
  } else {
    EXPECT_FALSE(events[0].has_field("tz"));
  }
  // Only the first fault of the text is reported.
  std::size_t warnings = 0;
  for (const auto& ev : sink_->events()) warnings += ev.message.starts_with("TimeWindow:");
  EXPECT_EQ(warnings, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, MalformedTimeWindowTest,
    ::testing::Values(
        MalformedWindowCase{"0900", PolicyTimeWindow::Status::MissingDash,
                            "TimeWindow: malformed (missing '-'), refusing"},
        MalformedWindowCase{"", PolicyTimeWindow::Status::MissingDash, "TimeWindow: malformed (missing '-'), refusing"},
        MalformedWindowCase{"09:00 - 17:00", PolicyTimeWindow::Status::MissingDash,
                            "TimeWindow: malformed (missing '-'), refusing"},
        MalformedWindowCase{"9-17", PolicyTimeWindow::Status::BadStart, "TimeWindow: malformed start HH:MM, refusing"},
        MalformedWindowCase{"9-17 Mars/Olympus", PolicyTimeWindow::Status::BadStart,
                            "TimeWindow: malformed start HH:MM, refusing"},
        MalformedWindowCase{"24:00-17:00", PolicyTimeWindow::Status::BadStart,
                            "TimeWindow: malformed start HH:MM, refusing"},
        MalformedWindowCase{"09:5-17:00", PolicyTimeWindow::Status::BadStart,
                            "TimeWindow: malformed start HH:MM, refusing"},
        MalformedWindowCase{"009:00-17:00", PolicyTimeWindow::Status::BadStart,
                            "TimeWindow: malformed start HH:MM, refusing"},
        MalformedWindowCase{"-17:00", PolicyTimeWindow::Status::BadStart, "TimeWindow: malformed start HH:MM, refusing"},
        MalformedWindowCase{"09:00-17:60", PolicyTimeWindow::Status::BadEnd, "TimeWindow: malformed end HH:MM, refusing"},
        MalformedWindowCase{"09:00-", PolicyTimeWindow::Status::BadEnd, "TimeWindow: malformed end HH:MM, refusing"},
        MalformedWindowCase{"09:00-17:00-18:00", PolicyTimeWindow::Status::BadEnd,
                            "TimeWindow: malformed end HH:MM, refusing"},
        MalformedWindowCase{"09:00-+7:00", PolicyTimeWindow::Status::BadEnd, "TimeWindow: malformed end HH:MM, refusing"},
        MalformedWindowCase{"09:00-17:00 Mars/Olympus", PolicyTimeWindow::Status::UnknownZone,
                            "TimeWindow: unknown timezone, refusing"},
        MalformedWindowCase{"09:00-17:00 europe/berlin", PolicyTimeWindow::Status::UnknownZone,
                            "TimeWindow: unknown timezone, refusing"},
        MalformedWindowCase{"09:00-17:00 ../../../etc/passwd", PolicyTimeWindow::Status::UnknownZone,
                            "TimeWindow: unknown timezone, refusing"}));

TEST_F(PolicyEngineTest, UnknownZoneWarningNamesTheZone) {
  auto e = engine(PolicySet{{policy("p", Effect::Permit, {TimeWindowCondition{"00:00-23:59  Mars/Olympus "}})}});
  (void)e->evaluate(make_ctx());
  const auto events = sink_->find("TimeWindow: unknown timezone, refusing");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].field("window"), "00:00-23:59  Mars/Olympus ");
  EXPECT_EQ(events[0].field("tz"), "Mars/Olympus");
}

TEST_F(PolicyEngineTest, TimeWindowUsesTheContextTimestampNotTheClock) {
  auto e = engine(PolicySet{{policy("night", Effect::Permit, {TimeWindowCondition{"22:00-06:00"}})}});
  ActionContext ctx = make_ctx();
  ctx.timestamp = at("2026-06-01T23:30:00Z");
  set_clock(at("2026-06-01T12:00:00Z").unix_seconds());
  EXPECT_TRUE(e->evaluate(ctx).is_permit());
  ctx.timestamp = at("2026-06-01T12:00:00Z");
  set_clock(at("2026-06-01T23:30:00Z").unix_seconds());
  EXPECT_TRUE(e->evaluate(ctx).is_refuse());
}

// ---------------------------------------------------------------------------
// Matching, verdicts and their log events

TEST_F(PolicyEngineTest, NameAndPriority) {
  auto e = engine(PolicySet{});
  EXPECT_EQ(e->name(), "policy");
  EXPECT_EQ(e->priority(), 50u);
}

TEST_F(PolicyEngineTest, EmptySetRefusesEverythingWithNoPolicyMatch) {
  auto e = engine(PolicySet{});
  ActionContext ctx = make_ctx("agent-9", "files.delete");
  const Verdict v = e->evaluate(ctx);
  expect_refusal(v, ctx, RefuseCode::NoPolicyMatch, "no policy permits 'files.delete' for principal 'agent-9'");
  const auto events = sink_->find("no matching policy (default deny)", "ostrel_core::policy");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, Level::Debug);
  EXPECT_EQ(events[0].field("action"), "files.delete");
}

TEST_F(PolicyEngineTest, PermitCarriesATokenForTheContext) {
  auto e = engine(toml_set(R"toml(
[[policy]]
name = "allow all"
effect = "permit"
conditions = []
)toml"));
  ActionContext ctx = make_ctx("p-1", "reports.read");
  const Verdict v = e->evaluate(ctx);
  ASSERT_TRUE(v.is_permit());
  EXPECT_EQ(v.permit()->evaluation_id, ctx.evaluation_id);
  EXPECT_EQ(v.permit()->action_name, "reports.read");
  EXPECT_FALSE(v.permit()->signature.has_value());
  const auto events = sink_->find("policy permits action", "ostrel_core::policy");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, Level::Debug);
  EXPECT_EQ(events[0].field("policy"), "allow all");
}

TEST_F(PolicyEngineTest, RefusingPolicyNamesItself) {
  auto e = engine(PolicySet{{policy("no deletes", Effect::Refuse, {ActionCondition{"files.delete"}}),
                             policy("no deletes", Effect::Refuse, {ActionCondition{"files.*"}})}});
  ActionContext ctx = make_ctx("p-1", "files.delete");
  expect_refusal(e->evaluate(ctx), ctx, RefuseCode::PolicyDenied, "denied by policy 'no deletes'");
  const auto events = sink_->find("policy refuses action", "ostrel_core::policy");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, Level::Debug);
  EXPECT_EQ(events[0].field("policy"), "no deletes");
}

TEST_F(PolicyEngineTest, LowerPriorityNumberWinsAndTiesKeepDocumentOrder) {
  ActionContext ctx = make_ctx("p-1", "orders.create");
  // Refuse at 10 beats permit at 100 even though the permit is listed first.
  auto e1 = engine(PolicySet{{policy("permit all", Effect::Permit, {}, 100),
                              policy("refuse orders", Effect::Refuse, {ActionCondition{"orders.*"}}, 10)}});
  expect_refusal(e1->evaluate(ctx), ctx, RefuseCode::PolicyDenied, "denied by policy 'refuse orders'");
  // Equal priorities: the one listed first wins, either way round.
  auto e2 = engine(PolicySet{{policy("permit all", Effect::Permit, {}), policy("refuse orders", Effect::Refuse, {})}});
  EXPECT_TRUE(e2->evaluate(ctx).is_permit());
  auto e3 = engine(PolicySet{{policy("refuse orders", Effect::Refuse, {}), policy("permit all", Effect::Permit, {})}});
  expect_refusal(e3->evaluate(ctx), ctx, RefuseCode::PolicyDenied, "denied by policy 'refuse orders'");
}

TEST_F(PolicyEngineTest, AllConditionsMustHoldAndTheFirstMatchEndsTheWalk) {
  auto e = engine(toml_set(R"toml(
[[policy]]
name = "big orders need a manager"
effect = "refuse"
priority = 1
conditions = [{ action = "orders.create" }, { param_min = { field = "amount", min = 1000 } }]

[[policy]]
name = "clerks order"
effect = "permit"
priority = 2
conditions = [{ identity_role = "clerk" }, { action = "orders.*" }, { param_in = { field = "currency", values = ["EUR", "USD"] } }]

[[policy]]
name = "fallback"
effect = "permit"
priority = 3
conditions = [{ identity_kind = "service" }]
)toml"));
  ActionContext ctx = make_ctx("c-1", "orders.create", {"clerk"}, PrincipalKind::User);
  ctx.action.set_param("amount", 20);
  ctx.action.set_param("currency", "EUR");
  const Verdict permitted = e->evaluate(ctx);
  ASSERT_TRUE(permitted.is_permit());
  EXPECT_EQ(sink_->find("policy permits action")[0].field("policy"), "clerks order");

  ctx.action.set_param("amount", 5000);
  expect_refusal(e->evaluate(ctx), ctx, RefuseCode::PolicyDenied, "denied by policy 'big orders need a manager'");

  // A request lacking the parameter never matches a policy conditioned on it.
  ActionContext no_currency = make_ctx("c-1", "orders.create", {"clerk"}, PrincipalKind::User);
  expect_refusal(e->evaluate(no_currency), no_currency, RefuseCode::NoPolicyMatch,
                 "no policy permits 'orders.create' for principal 'c-1'");

  ActionContext service = make_ctx("svc", "orders.create", {}, PrincipalKind::Service);
  EXPECT_TRUE(e->evaluate(service).is_permit());
}

// ---------------------------------------------------------------------------
// Rate limits

constexpr std::string_view kTwoPerMinute = R"toml(
[[policy]]
name = "two per minute"
effect = "permit"
conditions = [{ rate_limit = { max = 2, window = "1m" } }]
)toml";

TEST_F(PolicyEngineTest, RateLimitCountsPerPrincipalAndAction) {
  auto e = engine(toml_set(kTwoPerMinute));  // default in-memory store
  ActionContext a = make_ctx("p-1", "orders.create");
  EXPECT_TRUE(e->evaluate(a).is_permit());
  EXPECT_TRUE(e->evaluate(a).is_permit());
  expect_refusal(e->evaluate(a), a, RefuseCode::NoPolicyMatch,
                 "no policy permits 'orders.create' for principal 'p-1'");
  // Another action of the same principal and the same action of another principal have their own counts.
  EXPECT_TRUE(e->evaluate(make_ctx("p-1", "orders.cancel")).is_permit());
  EXPECT_TRUE(e->evaluate(make_ctx("p-2", "orders.create")).is_permit());
  // The window slides: a minute later the first two events have left it.
  set_clock(1'800'000'000 + 60);
  EXPECT_TRUE(e->evaluate(a).is_permit());
}

TEST_F(PolicyEngineTest, TenthRequestWithinTheLimitHoldsTheEleventhDoesNot) {
  auto e = engine(PolicySet{{policy("ten", Effect::Permit, {RateLimitCondition{10, "1h"}})}});
  ActionContext ctx = make_ctx();
  for (int i = 1; i <= 10; ++i) EXPECT_TRUE(e->evaluate(ctx).is_permit()) << "request " << i;
  EXPECT_TRUE(e->evaluate(ctx).is_refuse());
}

TEST_F(PolicyEngineTest, RecordsOncePerEvaluationWithKeyAndClockEvenWhenRefused) {
  auto store = std::make_shared<ScriptedStore>();
  auto e = engine(PolicySet{{policy("no deletes", Effect::Refuse, {ActionCondition{"files.delete"}}, 1),
                             policy("limited", Effect::Permit, {RateLimitCondition{5, "10s"}}, 2)}},
                  store);
  set_clock(1'800'000'123, 999'000'000);
  ActionContext ctx = make_ctx("user:7", "files.delete");
  EXPECT_TRUE(e->evaluate(ctx).is_refuse());
  auto calls = store->calls();
  ASSERT_EQ(calls.size(), 1u);  // recorded, but the limit was never reached
  EXPECT_EQ(calls[0].op, "record");
  EXPECT_EQ(calls[0].key, "user:7:files.delete");
  EXPECT_EQ(calls[0].now, 1'800'000'123);  // whole seconds

  ActionContext read = make_ctx("user:7", "files.read");
  EXPECT_TRUE(e->evaluate(read).is_permit());
  calls = store->calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].op, "record");
  EXPECT_EQ(calls[2].op, "count");
  EXPECT_EQ(calls[2].key, "user:7:files.read");
  EXPECT_EQ(calls[2].now, 1'800'000'123);
  EXPECT_EQ(calls[2].window, 10);
}

TEST_F(PolicyEngineTest, NoStoreTrafficWithoutRateLimits) {
  auto store = std::make_shared<ScriptedStore>();
  auto e = engine(PolicySet{{policy("all", Effect::Permit, {})}}, store);
  EXPECT_TRUE(e->evaluate(make_ctx()).is_permit());
  EXPECT_TRUE(store->calls().empty());
}

TEST_F(PolicyEngineTest, LimitsAreQueriedOnlyWhenReachedAndShareOneKey) {
  auto store = std::make_shared<ScriptedStore>();
  auto e = engine(
      PolicySet{{policy("admins only, limited", Effect::Permit,
                        {IdentityRoleCondition{"admin"}, RateLimitCondition{100, "1m"}}),
                 policy("burst and hourly", Effect::Permit,
                        {RateLimitCondition{3, "1m"}, RateLimitCondition{5, "bogus"}})}},
      store);
  ActionContext ctx = make_ctx("p-1", "x");
  EXPECT_TRUE(e->evaluate(ctx).is_permit());
  auto calls = store->calls();
  // record, then the two limits of the second policy; the first policy's limit is never reached.
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].op, "count");
  EXPECT_EQ(calls[1].window, 60);
  EXPECT_EQ(calls[2].op, "count");
  EXPECT_EQ(calls[2].window, 3600);  // unparsable window falls back to an hour
  EXPECT_EQ(calls[1].key, calls[2].key);
  // A failed first limit skips the second.
  EXPECT_TRUE(e->evaluate(ctx).is_permit());
  EXPECT_TRUE(e->evaluate(ctx).is_permit());
  const std::size_t before = store->count_calls("count");
  EXPECT_TRUE(e->evaluate(ctx).is_refuse());  // fourth within the minute
  EXPECT_EQ(store->count_calls("count"), before + 1);
}

TEST_F(PolicyEngineTest, RecordFailureRefusesOutright) {
  auto store = std::make_shared<ScriptedStore>();
  store->fail_record = true;
  // The first policy would permit without ever using the limit.
  auto e = engine(PolicySet{{policy("all", Effect::Permit, {}, 1),
                             policy("limited", Effect::Permit, {RateLimitCondition{5, "1m"}}, 2)}},
                  store);
  ActionContext ctx = make_ctx("p-1", "orders.create");
  expect_refusal(e->evaluate(ctx), ctx, RefuseCode::PolicyDenied, "rate-limit backend unavailable");
  EXPECT_EQ(store->count_calls("count"), 0u);
  const auto events = sink_->find("rate-limit store record failed, refusing action", "ostrel_core::policy");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, Level::Warn);
  EXPECT_EQ(events[0].field("error"), "rate-limit backend unavailable: connection refused");
  EXPECT_EQ(events[0].field("key"), "p-1:orders.create");
  EXPECT_TRUE(sink_->find("policy permits action").empty());
}

TEST_F(PolicyEngineTest, CountFailureMakesOnlyThatConditionFalse) {
  auto store = std::make_shared<ScriptedStore>();
  store->fail_count = true;
  auto e = engine(PolicySet{{policy("limited", Effect::Permit, {RateLimitCondition{5, "1m"}}, 1),
                             policy("readers", Effect::Permit, {ActionCondition{"reports.*"}}, 2)}},
                  store);
  ActionContext orders = make_ctx("p-1", "orders.create");
  expect_refusal(e->evaluate(orders), orders, RefuseCode::NoPolicyMatch,
                 "no policy permits 'orders.create' for principal 'p-1'");
  const auto events = sink_->find("rate-limit store error, failing closed", "ostrel_core::policy");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, Level::Warn);
  EXPECT_EQ(events[0].field("error"), "rate-limit store corruption: bad reply");
  EXPECT_EQ(events[0].field("key"), "p-1:orders.create");
  // Evaluation goes on with the next policy.
  EXPECT_TRUE(e->evaluate(make_ctx("p-1", "reports.daily")).is_permit());
}

// ---------------------------------------------------------------------------
// Reload

TEST_F(PolicyEngineTest, ReloadReplacesThePoliciesAndLogsTheirNumber) {
  auto e = engine(PolicySet{{policy("all", Effect::Permit, {})}});
  ActionContext ctx = make_ctx();
  EXPECT_TRUE(e->evaluate(ctx).is_permit());
  const auto before = e->current();

  e->reload(toml_set(R"toml(
[[policy]]
name = "a"
effect = "refuse"
conditions = [{ action = "x" }]

[[policy]]
name = "b"
effect = "refuse"
conditions = []
)toml"));
  expect_refusal(e->evaluate(ctx), ctx, RefuseCode::PolicyDenied, "denied by policy 'b'");
  EXPECT_NE(e->current(), before);
  EXPECT_EQ(before->size(), 1u);  // a held snapshot stays intact
  auto events = sink_->find("policies reloaded: 2 rules", "ostrel_core::policy");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, Level::Info);
  EXPECT_TRUE(events[0].fields.empty());

  // The kill switch: an empty set refuses everything.
  e->reload(toml_set(""));
  expect_refusal(e->evaluate(ctx), ctx, RefuseCode::NoPolicyMatch,
                 "no policy permits 'orders.create' for principal 'p-1'");
  EXPECT_EQ(sink_->find("policies reloaded: 0 rules").size(), 1u);
}

TEST_F(PolicyEngineTest, ReloadKeepsTheRateStoreAndItsCounts) {
  auto e = engine(toml_set(kTwoPerMinute));
  const auto store = e->rate_store();
  ActionContext ctx = make_ctx();
  EXPECT_TRUE(e->evaluate(ctx).is_permit());
  EXPECT_TRUE(e->evaluate(ctx).is_permit());
  e->reload(toml_set(kTwoPerMinute));
  EXPECT_EQ(e->rate_store(), store);
  EXPECT_TRUE(e->evaluate(ctx).is_refuse());  // third within the minute, counted across the reload
}

// A store whose record blocks until released, to hold an evaluation in flight.
class GateStore final : public RateLimitStore {
 public:
  std::expected<void, RateLimitStoreError> record(std::string_view, std::int64_t) override {
    std::unique_lock lock(mu_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return released_; });
    return {};
  }
  std::expected<std::uint64_t, RateLimitStoreError> count_in_window(std::string_view, std::int64_t,
                                                                   std::int64_t) override {
    return 0;
  }
  void wait_entered() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return entered_; });
  }
  void release() {
    std::lock_guard lock(mu_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool entered_ = false;
  bool released_ = false;
};

TEST_F(PolicyEngineTest, ReloadDuringAnEvaluationDoesNotChangeItsOutcome) {
  auto store = std::make_shared<GateStore>();
  auto e = engine(PolicySet{{policy("limited", Effect::Permit, {RateLimitCondition{5, "1m"}})}}, store);
  ActionContext ctx = make_ctx();
  std::optional<Verdict> in_flight;
  std::thread t([&] { in_flight = e->evaluate(ctx); });
  store->wait_entered();
  e->reload(PolicySet{});  // kill switch while the evaluation waits on the store
  store->release();
  t.join();
  ASSERT_TRUE(in_flight.has_value());
  EXPECT_TRUE(in_flight->is_permit());
  // The next evaluation sees the new (empty) set.
  EXPECT_TRUE(e->evaluate(ctx).is_refuse());
}

TEST_F(PolicyEngineTest, ConcurrentEvaluationsAndReloadsSeeWholeSets) {
  // Two sets that decide the same request differently; every verdict must
  // come from one of them, never from a mixture or a torn set.
  const PolicySet permit_set{{policy("permit", Effect::Permit, {ActionCondition{"orders.*"}})}};
  const PolicySet refuse_set{{policy("refuse", Effect::Refuse, {ActionCondition{"orders.*"}}),
                              policy("permit", Effect::Permit, {})}};
  auto e = engine(permit_set);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w) {
    workers.emplace_back([&] {
      ActionContext ctx = make_ctx();
      while (!stop.load()) {
        const Verdict v = e->evaluate(ctx);
        const bool ok = v.is_permit() ||
                        (v.is_refuse() && v.refusal()->reason == "denied by policy 'refuse'");
        if (!ok) ++bad;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) e->reload(i % 2 == 0 ? refuse_set : permit_set);
  stop = true;
  for (auto& t : workers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(PolicyEngineTest, NullStoreGetsAPrivateInMemoryStore) {
  auto a = std::make_shared<PolicyEngine>(toml_set(kTwoPerMinute));
  auto b = PolicyEngine::with_rate_store(toml_set(kTwoPerMinute), nullptr);
  ASSERT_NE(a->rate_store(), nullptr);
  ASSERT_NE(b->rate_store(), nullptr);
  EXPECT_NE(a->rate_store(), b->rate_store());
  auto shared = std::make_shared<InMemoryRateLimitStore>();
  auto c = PolicyEngine::with_rate_store(toml_set(kTwoPerMinute), shared);
  auto d = PolicyEngine::with_rate_store(toml_set(kTwoPerMinute), shared);
  // Two engines on one store count the same events.
  ActionContext ctx = make_ctx();
  EXPECT_TRUE(c->evaluate(ctx).is_permit());
  EXPECT_TRUE(d->evaluate(ctx).is_permit());
  EXPECT_TRUE(c->evaluate(ctx).is_refuse());
}

}  // namespace
}  // namespace ostrel_core
