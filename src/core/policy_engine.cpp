#include "core/policy_engine.hpp"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/policy_text.hpp"
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

// Out of line: rare, and it keeps the inlined condition switch small.
[[gnu::noinline]] bool time_window_holds(const PolicyTimeWindow& w, const Timestamp& instant) noexcept {
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

namespace {

// Parameter values looked up at most once per evaluation: conditions on the
// same field (common across policies) share the lookup. Fields beyond the
// first kCachedFields distinct names are looked up directly.
class ParamLookup {
 public:
  static constexpr std::uint32_t kCachedFields = 32;

  explicit ParamLookup(const ActionDescriptor& action) noexcept : action_(action) {}

  const nlohmann::json* find(const CompiledCondition& c) noexcept {
    if (c.field_slot >= kCachedFields) return action_.find_param(c.text);
    const std::uint32_t bit = std::uint32_t{1} << c.field_slot;
    if ((looked_up_ & bit) == 0) {
      slots_[c.field_slot] = action_.find_param(c.text);
      looked_up_ |= bit;
    }
    return slots_[c.field_slot];
  }

 private:
  const ActionDescriptor& action_;
  std::uint32_t looked_up_ = 0;
  const nlohmann::json* slots_[kCachedFields] = {};
};

// A JSON number as a double (integers converted to the nearest double); none
// for every other type, numeric-looking strings included.
std::optional<double> number_of(const nlohmann::json* v) noexcept {
  if (v == nullptr) return std::nullopt;
  switch (v->type()) {
    case nlohmann::json::value_t::number_float: return v->get<double>();
    case nlohmann::json::value_t::number_integer: return static_cast<double>(v->get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: return static_cast<double>(v->get<std::uint64_t>());
    default: return std::nullopt;
  }
}

// Every kind except RateLimit, which needs the store (false here). Inlined
// into the match loop: a call per condition would cost more than most checks.
[[gnu::always_inline]] inline bool holds(const CompiledCondition& c, const ActionContext& ctx, const Timestamp& now,
                  ParamLookup& params) noexcept {
  using policy_text::text_equal;
  switch (c.kind) {
    case ConditionKind::IdentityRole:
      for (const std::string& role : ctx.principal.roles) {
        if (text_equal(role, c.text)) return true;
      }
      return false;
    case ConditionKind::IdentityKind: return ctx.principal.kind == c.principal_kind;
    case ConditionKind::IdentityId: return text_equal(ctx.principal.id, c.text);
    case ConditionKind::Action: return c.pattern_matches(ctx.action.name);
    case ConditionKind::ParamMax: {
      const auto v = number_of(params.find(c));
      return v.has_value() && *v <= c.bound;  // false for NaN on either side
    }
    case ConditionKind::ParamMin: {
      const auto v = number_of(params.find(c));
      return v.has_value() && *v >= c.bound;
    }
    case ConditionKind::ParamIn: {
      const nlohmann::json* v = params.find(c);
      if (v == nullptr || !v->is_string()) return false;
      const std::string& text = v->get_ref<const std::string&>();
      for (const std::string& allowed : c.values) {
        if (text_equal(text, allowed)) return true;
      }
      return false;
    }
    case ConditionKind::RateLimit: return false;
    case ConditionKind::SessionAgeMax: {
      const std::int64_t age = whole_seconds_between(ctx.session.started_at, now);
      return age < 0 || static_cast<std::uint64_t>(age) <= c.age_limit_secs;
    }
    case ConditionKind::Resource:
      return ctx.action.resource.has_value() && c.pattern_matches(*ctx.action.resource);
    case ConditionKind::TimeWindow: return c.window != nullptr && time_window_holds(*c.window, ctx.timestamp);
  }
  return false;
}

}  // namespace

bool PolicyEngine::condition_holds(const CompiledCondition& c, const ActionContext& ctx,
                                   const Timestamp& now) noexcept {
  ParamLookup params(ctx.action);
  return holds(c, ctx, now, params);
}

const CompiledPolicy* PolicyEngine::first_match(const CompiledPolicySet& set, const ActionContext& ctx,
                                               const Timestamp& now, std::string_view key) const {
  const std::int64_t now_secs = now.unix_seconds();
  ParamLookup params(ctx.action);
  for (const CompiledPolicy& policy : set.compiled()) {
    bool all_hold = true;
    for (const CompiledCondition& c : policy.conditions) {
      if (c.kind == ConditionKind::RateLimit) {
        auto count = store_->count_in_window(key, now_secs, c.window_secs);
        if (!count) {
          OSTREL_LOG(Level::Warn, kTarget, "rate-limit store error, failing closed",
                     {"error", count.error().display()}, {"key", key});
          all_hold = false;
        } else {
          all_hold = *count <= c.rate_max;
        }
      } else {
        all_hold = holds(c, ctx, now, params);
      }
      if (!all_hold) break;
    }
    if (all_hold) return &policy;
  }
  return nullptr;
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

  const CompiledPolicy* match = first_match(set, ctx, now, key);
  if (match != nullptr) {
    const CompiledPolicy& policy = *match;
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
