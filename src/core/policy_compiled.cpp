#include "core/policy_compiled.hpp"

#include <algorithm>
#include <exception>
#include <fstream>
#include <iterator>
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
constexpr std::int64_t kTableEnd = 13569465600;    // 2400-01-01T00:00:00Z

// The rule of a POSIX TZ string ("CET-1CEST,M3.5.0,M10.5.0/3"), as TZif files
// carry it in their footer for instants after their last transition.
struct PosixRule {
  // A transition date: Jn (1..365, no leap day), n (0..365) or Mm.w.d.
  struct Date {
    char form = 'M';  // 'J', 'n' or 'M'
    int day = 0;      // J/n: the day number; M: weekday 0..6 (Sunday 0)
    int month = 0;
    int week = 0;
  };
  std::int32_t std_offset = 0;  // UTC offsets in seconds (east positive)
  std::int32_t dst_offset = 0;
  Date start;
  Date end;
  std::int32_t start_time = 7200;  // local wall time of the change, seconds
  std::int32_t end_time = 7200;
};

class PosixParser {
 public:
  explicit PosixParser(std::string_view s) : s_(s) {}

  std::optional<PosixRule> parse() {
    PosixRule r;
    if (!name()) return std::nullopt;
    const auto std_off = offset();
    if (!std_off) return std::nullopt;
    r.std_offset = -*std_off;  // POSIX counts west positive
    if (at_end()) return std::nullopt;  // no daylight saving: nothing to extend
    if (!name()) return std::nullopt;
    r.dst_offset = r.std_offset + 3600;
    if (!at_end() && peek() != ',') {
      const auto dst_off = offset();
      if (!dst_off) return std::nullopt;
      r.dst_offset = -*dst_off;
    }
    if (!eat(',') || !date(r.start)) return std::nullopt;
    if (eat('/')) {
      const auto t = offset();
      if (!t) return std::nullopt;
      r.start_time = *t;
    }
    if (!eat(',') || !date(r.end)) return std::nullopt;
    if (eat('/')) {
      const auto t = offset();
      if (!t) return std::nullopt;
      r.end_time = *t;
    }
    if (!at_end()) return std::nullopt;
    return r;
  }

 private:
  bool at_end() const { return i_ >= s_.size(); }
  char peek() const { return at_end() ? '\0' : s_[i_]; }
  bool eat(char c) {
    if (peek() != c) return false;
    ++i_;
    return true;
  }
  bool name() {
    if (eat('<')) {
      const auto close = s_.find('>', i_);
      if (close == std::string_view::npos) return false;
      i_ = close + 1;
      return true;
    }
    const std::size_t from = i_;
    while (!at_end() && ((peek() >= 'A' && peek() <= 'Z') || (peek() >= 'a' && peek() <= 'z'))) ++i_;
    return i_ - from >= 3;
  }
  std::optional<int> number(int max_digits) {
    int v = 0;
    int digits = 0;
    while (!at_end() && peek() >= '0' && peek() <= '9' && digits < max_digits) {
      v = v * 10 + (peek() - '0');
      ++i_;
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    return v;
  }
  // [+-]hh[:mm[:ss]] in seconds.
  std::optional<std::int32_t> offset() {
    int sign = 1;
    if (eat('-')) sign = -1;
    else eat('+');
    const auto h = number(3);
    if (!h || *h > 167) return std::nullopt;
    int total = *h * 3600;
    if (eat(':')) {
      const auto m = number(2);
      if (!m || *m > 59) return std::nullopt;
      total += *m * 60;
      if (eat(':')) {
        const auto sec = number(2);
        if (!sec || *sec > 59) return std::nullopt;
        total += *sec;
      }
    }
    return sign * total;
  }
  bool date(PosixRule::Date& d) {
    if (eat('M')) {
      d.form = 'M';
      const auto m = number(2);
      if (!m || *m < 1 || *m > 12 || !eat('.')) return false;
      const auto w = number(1);
      if (!w || *w < 1 || *w > 5 || !eat('.')) return false;
      const auto wd = number(1);
      if (!wd || *wd > 6) return false;
      d.month = *m;
      d.week = *w;
      d.day = *wd;
      return true;
    }
    d.form = eat('J') ? 'J' : 'n';
    const auto n = number(3);
    if (!n || *n > 365 || (d.form == 'J' && *n < 1)) return false;
    d.day = *n;
    return true;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// Days since the epoch of a rule date in `year`.
std::int64_t rule_day(const PosixRule::Date& d, int year) {
  using namespace date;
  const sys_days jan1 = sys_days{date::year{year} / January / 1};
  if (d.form == 'n') return (jan1 + days{d.day}).time_since_epoch().count();
  if (d.form == 'J') {
    // 1..365, February 29 never counted.
    const int leap_shift = (date::year{year}.is_leap() && d.day >= 60) ? 1 : 0;
    return (jan1 + days{d.day - 1 + leap_shift}).time_since_epoch().count();
  }
  const auto first = sys_days{date::year{year} / month{static_cast<unsigned>(d.month)} / 1};
  const unsigned first_wd = weekday{first}.c_encoding();
  int dom = 1 + static_cast<int>((static_cast<unsigned>(d.day) + 7 - first_wd) % 7) + (d.week - 1) * 7;
  const auto last = year_month_day_last{date::year{year}, month_day_last{month{static_cast<unsigned>(d.month)}}};
  const int month_days = static_cast<int>(static_cast<unsigned>(last.day()));
  while (dom > month_days) dom -= 7;  // week 5 means the last such weekday
  return (first + days{dom - 1}).time_since_epoch().count();
}

// The footer of the zone's TZif file (version 2 and later), if readable.
std::optional<PosixRule> zone_footer_rule(const date::time_zone& zone) {
  // The name was found in the database, so it is a path inside it.
  const std::string path = "/usr/share/zoneinfo/" + std::string(zone.name());
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < 6 || data.compare(0, 4, "TZif") != 0 || data[4] < '2' || data.back() != '\n') {
    return std::nullopt;
  }
  const auto open = data.rfind('\n', data.size() - 2);
  if (open == std::string::npos) return std::nullopt;
  return PosixParser(std::string_view(data).substr(open + 1, data.size() - open - 2)).parse();
}

std::shared_ptr<const ZoneOffsetTable> build_offset_table(const date::time_zone& zone) {
  auto table = std::make_shared<ZoneOffsetTable>();
  auto push = [&table](std::int64_t begin, std::int32_t offset) {
    if (table->offsets.empty() || table->offsets.back() != offset) {
      table->begins.push_back(begin);
      table->offsets.push_back(offset);
    }
  };
  std::int64_t t = kTableStart;
  std::int64_t last_begin = t;
  while (t < kTableEnd) {
    const date::sys_info info = zone.get_info(std::chrono::sys_seconds{std::chrono::seconds{t}});
    push(t, static_cast<std::int32_t>(info.offset.count()));
    last_begin = t;
    const std::int64_t next = info.end.time_since_epoch().count();
    if (next <= t) break;  // no progress: stop rather than loop
    t = next;
  }
  table->end = std::min(t, kTableEnd);

  // The database lists transitions explicitly only up to some year (2037 in
  // the usual files); after that, its last segment runs on forever in
  // standard time. The file's footer rule says how daylight saving goes on:
  // apply it from that segment onwards.
  if (t >= kTableEnd && last_begin < kTableEnd) {
    if (const auto rule = zone_footer_rule(zone)) {
      std::vector<std::pair<std::int64_t, std::int32_t>> changes;
      const int first_year = static_cast<int>(
          date::year_month_day{date::floor<date::days>(std::chrono::sys_seconds{std::chrono::seconds{last_begin}})}
              .year());
      for (int y = first_year; y < 2400; ++y) {
        // Start: local standard time; end: local daylight time.
        changes.emplace_back(rule_day(rule->start, y) * 86400 + rule->start_time - rule->std_offset,
                             rule->dst_offset);
        changes.emplace_back(rule_day(rule->end, y) * 86400 + rule->end_time - rule->dst_offset, rule->std_offset);
      }
      std::sort(changes.begin(), changes.end());
      // The open-ended segment is the table's last; continue it by the rule.
      for (const auto& [at, offset] : changes) {
        if (at > last_begin && at < kTableEnd) push(at, offset);
      }
    }
  }
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
