#pragma once
// The compiled form of a policy set: what the engine walks per request.
//
// Compilation happens once per set (at engine construction and on reload):
// policies are stably sorted by priority, patterns are split into their
// prefix/exact form, durations are parsed (with their fallbacks applied),
// time windows are parsed and their zones resolved in the time-zone database.
// Walking the compiled set parses nothing and allocates nothing.

#include <chrono>
#include <memory>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/context.hpp"
#include "core/policy_document.hpp"
#include "core/policy_text.hpp"

namespace date {
class time_zone;
}

namespace ostrel_core {
// A zone's UTC offsets over a long span of years, precomputed from the
// time-zone database so that evaluations need neither its locks nor its
// per-call work (defined in policy_compiled.cpp).
struct ZoneOffsetTable;
}  // namespace ostrel_core

namespace ostrel_core {

// An action or resource pattern: "p.*" and "p*" match every text starting
// with "p"; anything else matches only itself. Byte-wise, case-sensitive.
class PolicyPattern {
 public:
  PolicyPattern() = default;
  explicit PolicyPattern(std::string_view pattern);

  bool matches(std::string_view text) const noexcept {
    return prefix_ ? policy_text::text_starts_with(text, text_) : policy_text::text_equal(text, text_);
  }
  std::string_view text() const noexcept { return text_; }
  bool is_prefix() const noexcept { return prefix_; }

 private:
  std::string text_;  // the prefix, or the exact text
  bool prefix_ = false;
};

// A "start-end[ zone]" window of the day, parsed once. Syntax problems and
// unknown zones are kept as a status: the condition then never holds and the
// engine logs the status on every evaluation that reaches it.
class PolicyTimeWindow {
 public:
  enum class Status : std::uint8_t { Ok, MissingDash, BadStart, BadEnd, UnknownZone };

  PolicyTimeWindow() = default;
  explicit PolicyTimeWindow(std::string_view text);

  Status status() const noexcept { return status_; }
  const std::string& text() const noexcept { return text_; }
  // The zone name as written (empty: UTC).
  const std::string& zone_name() const noexcept { return zone_name_; }
  std::uint32_t start_minute() const noexcept { return start_minute_; }
  std::uint32_t end_minute() const noexcept { return end_minute_; }

  // Whether the instant's time of day (in the window's zone, with its offset
  // at that instant) lies in the window, both ends inclusive; a window whose
  // start is after its end wraps midnight. False unless status() is Ok.
  bool contains(const Timestamp& instant) const noexcept;

  // Nanoseconds since local midnight of `instant` in the window's zone;
  // negative when the zone cannot be consulted.
  std::int64_t local_time_of_day_nanos(const Timestamp& instant) const noexcept;

 private:
  std::string text_;
  std::string zone_name_;
  const date::time_zone* zone_ = nullptr;  // null: UTC
  std::shared_ptr<const ZoneOffsetTable> offsets_;
  std::uint32_t start_minute_ = 0;
  std::uint32_t end_minute_ = 0;
  Status status_ = Status::MissingDash;
};

// Parses "H:MM" or "HH:MM" (24-hour clock) to minutes since midnight.
std::optional<std::uint32_t> parse_policy_clock(std::string_view text) noexcept;

enum class ConditionKind : std::uint8_t {
  IdentityRole,
  IdentityKind,
  IdentityId,
  Action,
  ParamMax,
  ParamMin,
  ParamIn,
  RateLimit,
  SessionAgeMax,
  Resource,
  TimeWindow,
};

inline constexpr std::uint64_t kDefaultRateWindowSecs = 3600;
inline constexpr std::uint64_t kDefaultSessionAgeLimitSecs = 86400;

// One condition with its payload pre-digested. Only the members of its kind
// are meaningful. The members read on every walk come first, so a condition
// usually costs one cache line; the rare time window lives out of line.
struct CompiledCondition {
  ConditionKind kind = ConditionKind::IdentityRole;
  PrincipalKind principal_kind = PrincipalKind::User;  // IdentityKind
  bool prefix = false;                                 // Action/Resource: `text` is a prefix, not an exact text
  std::uint32_t field_slot = 0;                        // Param*: index of the field in the set's param_fields()
  std::uint32_t rate_max = 0;                          // RateLimit
  std::string text;                                    // role, principal id, parameter field, pattern text
  double bound = 0.0;                                  // ParamMax, ParamMin
  std::int64_t window_secs = 0;                        // RateLimit (fallback applied, clamped)
  std::uint64_t age_limit_secs = 0;                    // SessionAgeMax (fallback applied)
  std::vector<std::string> values;                     // ParamIn
  std::unique_ptr<const PolicyTimeWindow> window;      // TimeWindow

  // Action/Resource: whether `subject` matches the pattern.
  bool pattern_matches(std::string_view subject) const noexcept {
    return prefix ? policy_text::text_starts_with(subject, text) : policy_text::text_equal(subject, text);
  }

  static CompiledCondition compile(const Condition& condition);
};

struct CompiledPolicy {
  std::string name;
  Effect effect = Effect::Refuse;
  std::uint32_t priority = kDefaultPolicyPriority;
  std::vector<CompiledCondition> conditions;
};

class CompiledPolicySet {
 public:
  // Sorts the policies by priority (stable: equal priorities keep document
  // order), notes whether any condition is a rate limit, and compiles every
  // condition. Cannot fail.
  explicit CompiledPolicySet(PolicySet set);

  // The policies in evaluation order, as read.
  const std::vector<Policy>& policies() const noexcept { return policies_; }
  // The same policies, compiled; index i corresponds to policies()[i].
  std::span<const CompiledPolicy> compiled() const noexcept { return compiled_; }
  bool has_rate_limit() const noexcept { return has_rate_limit_; }
  std::size_t size() const noexcept { return policies_.size(); }
  // The distinct parameter names the conditions read; a condition's
  // field_slot indexes this list, so one evaluation looks each name up once.
  const std::vector<std::string>& param_fields() const noexcept { return param_fields_; }

 private:
  std::vector<Policy> policies_;
  std::vector<CompiledPolicy> compiled_;
  std::vector<std::string> param_fields_;
  bool has_rate_limit_ = false;
};

}  // namespace ostrel_core
