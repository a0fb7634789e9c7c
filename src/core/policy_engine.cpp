#include "core/policy_engine.hpp"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "util/log.hpp"

namespace ostrel_core {

namespace {

using ostrel_util::log::Level;

constexpr std::string_view kTarget = PolicyEngine::kLogTarget;

// Whole seconds from `start` to `now`, truncated toward zero (negative when
// the session starts in the future).
std::int64_t whole_seconds_between(const Timestamp& start, const Timestamp& now) noexcept {
  std::int64_t secs = now.unix_seconds() - start.unix_seconds();
  const std::int64_t nanos =
      static_cast<std::int64_t>(now.subsec_nanos()) - static_cast<std::int64_t>(start.subsec_nanos());
  if (secs > 0 && nanos < 0) --secs;
  else if (secs < 0 && nanos > 0) ++secs;
  return secs;
}

bool time_window_holds(const PolicyTimeWindow& w, const Timestamp& instant) noexcept {
  switch (w.status()) {
    case PolicyTimeWindow::Status::Ok: return w.contains(instant);
    case PolicyTimeWindow::Status::MissingDash:
      OSTREL_LOG(Level::Warn, kTarget, "TimeWindow: malformed (missing '-'), refusing", {"window", w.text()});
      return false;
    case PolicyTimeWindow::Status::BadStart:
      OSTREL_LOG(Level::Warn, kTarget, "TimeWindow: malformed start HH:MM, refusing", {"window", w.text()});
      return false;
    case PolicyTimeWindow::Status::BadEnd:
      OSTREL_LOG(Level::Warn, kTarget, "TimeWindow: malformed end HH:MM, refusing", {"window", w.text()});
      return false;
    case PolicyTimeWindow::Status::UnknownZone:
      OSTREL_LOG(Level::Warn, kTarget, "TimeWindow: unknown timezone, refusing", {"window", w.text()},
                 {"tz", w.zone_name()});
      return false;
  }
  return false;
}

}  // namespace

PolicyEngine::PolicyEngine(PolicySet set) : PolicyEngine(std::move(set), nullptr) {}

PolicyEngine::PolicyEngine(PolicySet set, std::shared_ptr<RateLimitStore> store, Clock clock)
    : store_(store ? std::move(store) : std::make_shared<InMemoryRateLimitStore>()),
      clock_(clock != nullptr ? clock : &ostrel_util::now),
      current_(std::make_shared<const CompiledPolicySet>(std::move(set))) {}

std::shared_ptr<PolicyEngine> PolicyEngine::create(PolicySet set) {
  return std::make_shared<PolicyEngine>(std::move(set));
}

std::shared_ptr<PolicyEngine> PolicyEngine::with_rate_store(PolicySet set, std::shared_ptr<RateLimitStore> store) {
  return std::make_shared<PolicyEngine>(std::move(set), std::move(store));
}

void PolicyEngine::reload(PolicySet set) {
  auto compiled = std::make_shared<const CompiledPolicySet>(std::move(set));
  const std::size_t rules = compiled->size();
  current_.store(std::move(compiled), std::memory_order_release);
  if (ostrel_util::log::enabled()) {
    const std::string message = "policies reloaded: " + std::to_string(rules) + " rules";
    OSTREL_LOG(Level::Info, kTarget, message);
  }
}

bool PolicyEngine::condition_holds(const CompiledCondition& c, const ActionContext& ctx,
                                   const Timestamp& now) noexcept {
  switch (c.kind) {
    case ConditionKind::IdentityRole: {
      const auto& roles = ctx.principal.roles;
      return std::find(roles.begin(), roles.end(), c.text) != roles.end();
    }
    case ConditionKind::IdentityKind: return ctx.principal.kind == c.principal_kind;
    case ConditionKind::IdentityId: return ctx.principal.id == c.text;
    case ConditionKind::Action: return c.pattern.matches(ctx.action.name);
    case ConditionKind::ParamMax: {
      const auto v = ctx.action.param_as_f64(c.text);
      return v.has_value() && *v <= c.bound;  // false for NaN on either side
    }
    case ConditionKind::ParamMin: {
      const auto v = ctx.action.param_as_f64(c.text);
      return v.has_value() && *v >= c.bound;
    }
    case ConditionKind::ParamIn: {
      const auto v = ctx.action.param_as_str(c.text);
      return v.has_value() && std::find(c.values.begin(), c.values.end(), *v) != c.values.end();
    }
    case ConditionKind::RateLimit: return false;  // needs the store: see evaluate_on
    case ConditionKind::SessionAgeMax: {
      const std::int64_t age = whole_seconds_between(ctx.session.started_at, now);
      return age < 0 || static_cast<std::uint64_t>(age) <= c.age_limit_secs;
    }
    case ConditionKind::Resource:
      return ctx.action.resource.has_value() && c.pattern.matches(*ctx.action.resource);
    case ConditionKind::TimeWindow: return time_window_holds(c.window, ctx.timestamp);
  }
  return false;
}

Verdict PolicyEngine::evaluate(const ActionContext& ctx) const {
  try {
    const std::shared_ptr<const CompiledPolicySet> set = current_.load(std::memory_order_acquire);
    return evaluate_on(*set, ctx);
  } catch (...) {
    // Only allocation failures can get here; fail closed.
    return Verdict::refuse(std::string(kName), "internal policy engine failure", ctx.evaluation_id,
                           RefuseCode::PolicyDenied);
  }
}

Verdict PolicyEngine::evaluate_on(const CompiledPolicySet& set, const ActionContext& ctx) const {
  const Timestamp now = clock_();
  const std::int64_t now_secs = now.unix_seconds();

  // One event per evaluation, before any policy is examined, whenever the set
  // limits rates at all: requests that end up refused count too.
  std::string key;
  if (set.has_rate_limit()) {
    key.reserve(ctx.principal.id.size() + 1 + ctx.action.name.size());
    key.append(ctx.principal.id).push_back(':');
    key.append(ctx.action.name);
    if (auto recorded = store_->record(key, now_secs); !recorded) {
      OSTREL_LOG(Level::Warn, kTarget, "rate-limit store record failed, refusing action",
                 {"error", recorded.error().display()}, {"key", key});
      return Verdict::refuse(std::string(kName), "rate-limit backend unavailable", ctx.evaluation_id,
                             RefuseCode::PolicyDenied);
    }
  }

  for (const CompiledPolicy& policy : set.compiled()) {
    bool holds = true;
    for (const CompiledCondition& c : policy.conditions) {
      if (c.kind == ConditionKind::RateLimit) {
        auto count = store_->count_in_window(key, now_secs, c.window_secs);
        if (!count) {
          OSTREL_LOG(Level::Warn, kTarget, "rate-limit store error, failing closed",
                     {"error", count.error().display()}, {"key", key});
          holds = false;
        } else {
          holds = *count <= c.rate_max;
        }
      } else {
        holds = condition_holds(c, ctx, now);
      }
      if (!holds) break;
    }
    if (!holds) continue;

    if (policy.effect == Effect::Permit) {
      OSTREL_LOG(Level::Debug, kTarget, "policy permits action", {"policy", policy.name});
      return Verdict(PermitToken::create(ctx.evaluation_id, ctx.action.name));
    }
    OSTREL_LOG(Level::Debug, kTarget, "policy refuses action", {"policy", policy.name});
    return Verdict::refuse(std::string(kName), "denied by policy '" + policy.name + "'", ctx.evaluation_id,
                           RefuseCode::PolicyDenied);
  }

  OSTREL_LOG(Level::Debug, kTarget, "no matching policy (default deny)", {"action", ctx.action.name});
  return Verdict::refuse(std::string(kName),
                         "no policy permits '" + ctx.action.name + "' for principal '" + ctx.principal.id + "'",
                         ctx.evaluation_id, RefuseCode::NoPolicyMatch);
}

}  // namespace ostrel_core
