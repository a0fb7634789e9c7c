#include "core/policy_compiled.hpp"

#include <algorithm>
#include <exception>
#include <map>
#include <mutex>
#include <limits>
#include <numeric>
#include <utility>

#include <date/tz.h>

#include "core/policy_text.hpp"

namespace ostrel_core {

// ---------------------------------------------------------------------------
// Patterns

PolicyPattern::PolicyPattern(std::string_view pattern) {
  if (pattern.ends_with(".*")) {
    text_ = pattern.substr(0, pattern.size() - 2);
    prefix_ = true;
  } else if (pattern.ends_with('*')) {
    text_ = pattern.substr(0, pattern.size() - 1);
    prefix_ = true;
  } else {
    text_ = pattern;
    prefix_ = false;
  }
}

// ---------------------------------------------------------------------------
// Time windows

std::optional<std::uint32_t> parse_policy_clock(std::string_view text) noexcept {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view h = text.substr(0, colon);
  const std::string_view m = text.substr(colon + 1);
  if (h.empty() || h.size() > 2 || m.size() != 2) return std::nullopt;
  std::uint32_t hours = 0;
  for (const char c : h) {
    if (c < '0' || c > '9') return std::nullopt;
    hours = hours * 10 + static_cast<std::uint32_t>(c - '0');
  }
  std::uint32_t minutes = 0;
  for (const char c : m) {
    if (c < '0' || c > '9') return std::nullopt;
    minutes = minutes * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (hours > 23 || minutes > 59) return std::nullopt;
  return hours * 60 + minutes;
}

// UTC offsets of one zone as a sorted list of segments: segment i starts at
// begins[i] (Unix seconds) and lasts until begins[i + 1], or until `end` for
// the last one. Instants outside [begins.front(), end) ask the database.
struct ZoneOffsetTable {
  std::vector<std::int64_t> begins;
  std::vector<std::int32_t> offsets;
  std::int64_t end = 0;

  // The offset in seconds at `t`, if the table covers it.
  std::optional<std::int32_t> offset_at(std::int64_t t) const noexcept {
    if (begins.empty() || t < begins.front() || t >= end) return std::nullopt;
    const auto it = std::upper_bound(begins.begin(), begins.end(), t);
    return offsets[static_cast<std::size_t>(it - begins.begin()) - 1];
  }
};

namespace {

constexpr std::int64_t kTableStart = -2208988800;  // 1900-01-01T00:00:00Z
constexpr std::int64_t kTableEnd = 4102444800;     // 2100-01-01T00:00:00Z

std::shared_ptr<const ZoneOffsetTable> build_offset_table(const date::time_zone& zone) {
  auto table = std::make_shared<ZoneOffsetTable>();
  std::int64_t t = kTableStart;
  while (t < kTableEnd) {
    const date::sys_info info = zone.get_info(std::chrono::sys_seconds{std::chrono::seconds{t}});
    const auto offset = static_cast<std::int32_t>(info.offset.count());
    if (table->offsets.empty() || table->offsets.back() != offset) {
      table->begins.push_back(t);
      table->offsets.push_back(offset);
    }
    const std::int64_t next = info.end.time_since_epoch().count();
    if (next <= t) break;  // no progress: stop rather than loop
    t = next;
  }
  table->end = std::min(t, kTableEnd);
  return table;
}

// Tables are shared by every window naming the same zone.
std::shared_ptr<const ZoneOffsetTable> offset_table_for(const date::time_zone& zone) {
  static std::mutex mu;
  static std::map<const date::time_zone*, std::shared_ptr<const ZoneOffsetTable>> tables;
  std::lock_guard lock(mu);
  auto& entry = tables[&zone];
  if (!entry) entry = build_offset_table(zone);
  return entry;
}

// Looks a zone up by its exact database name. Any failure (unknown name,
// unreadable database) yields null.
const date::time_zone* resolve_zone(const std::string& name) noexcept {
  try {
    return date::locate_zone(name);
  } catch (const std::exception&) {
    return nullptr;
  }
}

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kSecondsPerDay = 86'400;

}  // namespace

PolicyTimeWindow::PolicyTimeWindow(std::string_view text) : text_(text) {
  // The window is the text before the first white space (trimmed); the zone
  // name is what follows it (trimmed).
  std::size_t ws_len = 0;
  const std::size_t ws = policy_text::find_white_space(text, ws_len);
  std::string_view window = text;
  std::string_view zone;
  if (ws != std::string_view::npos) {
    window = policy_text::trim(text.substr(0, ws));
    zone = policy_text::trim(text.substr(ws + ws_len));
  } else {
    window = policy_text::trim(text);
  }
  const auto dash = window.find('-');
  if (dash == std::string_view::npos) {
    status_ = Status::MissingDash;
    return;
  }
  const auto start = parse_policy_clock(policy_text::trim(window.substr(0, dash)));
  if (!start) {
    status_ = Status::BadStart;
    return;
  }
  const auto end = parse_policy_clock(policy_text::trim(window.substr(dash + 1)));
  if (!end) {
    status_ = Status::BadEnd;
    return;
  }
  start_minute_ = *start;
  end_minute_ = *end;
  if (!zone.empty()) {
    zone_name_ = zone;
    zone_ = resolve_zone(zone_name_);
    if (zone_ != nullptr) {
      try {
        offsets_ = offset_table_for(*zone_);
      } catch (const std::exception&) {
        zone_ = nullptr;  // the zone's data cannot be read: treat it as unknown
      }
    }
    if (zone_ == nullptr) {
      status_ = Status::UnknownZone;
      return;
    }
  }
  status_ = Status::Ok;
}

std::int64_t PolicyTimeWindow::local_time_of_day_nanos(const Timestamp& instant) const noexcept {
  std::int64_t seconds = instant.unix_seconds();
  if (zone_ != nullptr) {
    if (const auto offset = offsets_ ? offsets_->offset_at(seconds) : std::nullopt) {
      seconds += *offset;
    } else {
      try {
        seconds += zone_->get_info(instant.to_sys_seconds()).offset.count();
      } catch (const std::exception&) {
        return -1;
      }
    }
  }
  std::int64_t of_day = seconds % kSecondsPerDay;
  if (of_day < 0) of_day += kSecondsPerDay;
  return of_day * kNanosPerSecond + static_cast<std::int64_t>(instant.subsec_nanos());
}

bool PolicyTimeWindow::contains(const Timestamp& instant) const noexcept {
  if (status_ != Status::Ok) return false;
  const std::int64_t t = local_time_of_day_nanos(instant);
  if (t < 0) return false;
  const std::int64_t s = static_cast<std::int64_t>(start_minute_) * 60 * kNanosPerSecond;
  const std::int64_t e = static_cast<std::int64_t>(end_minute_) * 60 * kNanosPerSecond;
  if (s <= e) return s <= t && t <= e;
  return t >= s || t <= e;
}

// ---------------------------------------------------------------------------
// Conditions and sets

namespace {

// Rate-limit windows travel to the store as signed seconds and the store
// subtracts them from "now"; a saturated duration is clamped far below the
// signed limit so that subtraction can never overflow. Such a window still
// covers every event a store keeps.
constexpr std::int64_t kMaxWindowSecs = std::int64_t{1} << 40;

}  // namespace

CompiledCondition CompiledCondition::compile(const Condition& condition) {
  CompiledCondition c;
  c.kind = static_cast<ConditionKind>(condition.index());
  std::visit(
      [&c](const auto& cond) {
        using T = std::decay_t<decltype(cond)>;
        if constexpr (std::is_same_v<T, IdentityRoleCondition>) {
          c.text = cond.role;
        } else if constexpr (std::is_same_v<T, IdentityKindCondition>) {
          c.principal_kind = cond.kind;
        } else if constexpr (std::is_same_v<T, IdentityIdCondition>) {
          c.text = cond.id;
        } else if constexpr (std::is_same_v<T, ActionCondition>) {
          const PolicyPattern pattern(cond.pattern);
          c.text = pattern.text();
          c.prefix = pattern.is_prefix();
        } else if constexpr (std::is_same_v<T, ParamMaxCondition>) {
          c.text = cond.field;
          c.bound = cond.max;
        } else if constexpr (std::is_same_v<T, ParamMinCondition>) {
          c.text = cond.field;
          c.bound = cond.min;
        } else if constexpr (std::is_same_v<T, ParamInCondition>) {
          c.text = cond.field;
          c.values = cond.values;
        } else if constexpr (std::is_same_v<T, RateLimitCondition>) {
          c.rate_max = cond.max;
          const std::uint64_t secs = parse_duration_secs(cond.window).value_or(kDefaultRateWindowSecs);
          c.window_secs = secs > static_cast<std::uint64_t>(kMaxWindowSecs) ? kMaxWindowSecs
                                                                           : static_cast<std::int64_t>(secs);
        } else if constexpr (std::is_same_v<T, SessionAgeMaxCondition>) {
          c.age_limit_secs = parse_duration_secs(cond.max_age).value_or(kDefaultSessionAgeLimitSecs);
        } else if constexpr (std::is_same_v<T, ResourceCondition>) {
          const PolicyPattern pattern(cond.pattern);
          c.text = pattern.text();
          c.prefix = pattern.is_prefix();
        } else {
          static_assert(std::is_same_v<T, TimeWindowCondition>);
          c.window = std::make_unique<const PolicyTimeWindow>(cond.window);
        }
      },
      condition);
  return c;
}

CompiledPolicySet::CompiledPolicySet(PolicySet set) : policies_(std::move(set.policies)) {
  std::stable_sort(policies_.begin(), policies_.end(),
                   [](const Policy& a, const Policy& b) { return a.priority < b.priority; });
  compiled_.reserve(policies_.size());
  for (const Policy& p : policies_) {
    CompiledPolicy cp;
    cp.name = p.name;
    cp.effect = p.effect;
    cp.priority = p.priority;
    cp.conditions.reserve(p.conditions.size());
    for (const Condition& cond : p.conditions) {
      if (std::holds_alternative<RateLimitCondition>(cond)) has_rate_limit_ = true;
      CompiledCondition cc = CompiledCondition::compile(cond);
      if (cc.kind == ConditionKind::ParamMax || cc.kind == ConditionKind::ParamMin ||
          cc.kind == ConditionKind::ParamIn) {
        const auto it = std::find(param_fields_.begin(), param_fields_.end(), cc.text);
        cc.field_slot = static_cast<std::uint32_t>(it - param_fields_.begin());
        if (it == param_fields_.end()) param_fields_.push_back(cc.text);
      }
      cp.conditions.push_back(std::move(cc));
    }
    compiled_.push_back(std::move(cp));
  }
}

}  // namespace ostrel_core
