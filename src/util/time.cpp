#include "util/time.hpp"

#include <chrono>
#include <cstring>
#include <limits>

namespace ostrel_util {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int32_t y, std::uint32_t m, std::uint32_t d) noexcept {
    using namespace std::chrono;
    const sys_days days{year{y} / month{m} / day{d}};
    return days.time_since_epoch().count();
}

bool valid_date(std::int32_t y, std::uint32_t m, std::uint32_t d) noexcept {
    using namespace std::chrono;
    return year_month_day{year{y}, month{m}, day{d}}.ok();
}

void append_digits(std::string& out, std::uint64_t v, int width) {
    char buf[24];
    for (int i = width - 1; i >= 0; --i) {
        buf[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    out.append(buf, static_cast<std::size_t>(width));
}

// Date "YYYY-MM-DD", separator, "hh:mm:ss" and the fraction.
void append_date_time(std::string& out, const CivilTime& c, char separator) {
    append_digits(out, static_cast<std::uint64_t>(c.year), 4);
    out.push_back('-');
    append_digits(out, c.month, 2);
    out.push_back('-');
    append_digits(out, c.day, 2);
    out.push_back(separator);
    append_digits(out, c.hour, 2);
    out.push_back(':');
    append_digits(out, c.minute, 2);
    out.push_back(':');
    append_digits(out, c.second, 2);
    append_fraction(out, c.nanosecond);
}

TimeError parse_error(std::string_view text, std::string_view why) {
    std::string m = "invalid RFC 3339 date-time \"";
    m.append(text);
    m.append("\": ");
    m.append(why);
    return TimeError{std::move(m)};
}

struct Cursor {
    std::string_view s;
    std::size_t i = 0;
    bool at_end() const { return i >= s.size(); }
    char peek() const { return at_end() ? '\0' : s[i]; }
    // Exactly n digits.
    bool digits(int n, std::uint32_t& out) {
        std::uint32_t v = 0;
        for (int k = 0; k < n; ++k) {
            if (at_end() || s[i] < '0' || s[i] > '9') return false;
            v = v * 10 + static_cast<std::uint32_t>(s[i] - '0');
            ++i;
        }
        out = v;
        return true;
    }
    bool lit(char c) {
        if (peek() != c) return false;
        ++i;
        return true;
    }
};

}  // namespace

void append_fraction(std::string& out, std::uint32_t nanos) {
    if (nanos == 0) return;
    out.push_back('.');
    if (nanos % 1'000'000 == 0) {
        append_digits(out, nanos / 1'000'000, 3);
    } else if (nanos % 1'000 == 0) {
        append_digits(out, nanos / 1'000, 6);
    } else {
        append_digits(out, nanos, 9);
    }
}

std::optional<Timestamp> Timestamp::from_unix(std::int64_t seconds, std::uint32_t nanos) noexcept {
    if (nanos >= kNanosPerSecond || seconds < kMinSeconds || seconds > kMaxSeconds) return std::nullopt;
    return Timestamp(seconds, nanos);
}

Timestamp Timestamp::from_unix_nanos(std::int64_t nanos) noexcept {
    const std::int64_t s = floor_div(nanos, kNanosPerSecond);
    return Timestamp(s, static_cast<std::uint32_t>(nanos - s * kNanosPerSecond));
}

std::optional<Timestamp> Timestamp::from_civil(const CivilTime& c) noexcept {
    if (c.year < 1 || c.year > 9999 || !valid_date(c.year, c.month, c.day) || c.hour > 23 || c.minute > 59 ||
        c.second > 59 || c.nanosecond >= kNanosPerSecond)
        return std::nullopt;
    const std::int64_t days = days_from_civil(c.year, c.month, c.day);
    return from_unix(days * 86400 + c.hour * 3600 + c.minute * 60 + c.second, c.nanosecond);
}

std::optional<Timestamp> Timestamp::checked_add_seconds(std::int64_t seconds) const noexcept {
    std::int64_t s;
    if (__builtin_add_overflow(seconds_, seconds, &s)) return std::nullopt;
    return from_unix(s, nanos_);
}

std::optional<Timestamp> Timestamp::checked_add_nanos(std::int64_t nanos) const noexcept {
    const std::int64_t whole = floor_div(nanos, kNanosPerSecond);
    std::int64_t rest = nanos - whole * kNanosPerSecond + nanos_;
    std::int64_t s;
    if (__builtin_add_overflow(seconds_, whole, &s)) return std::nullopt;
    if (rest >= kNanosPerSecond) {
        rest -= kNanosPerSecond;
        if (__builtin_add_overflow(s, 1, &s)) return std::nullopt;
    }
    return from_unix(s, static_cast<std::uint32_t>(rest));
}

std::int64_t Timestamp::nanos_since(const Timestamp& other) const noexcept {
    // Both second counts lie within +-2.6e11, so the difference in seconds
    // fits easily; only the scaling to nanoseconds can overflow.
    const __int128 d = static_cast<__int128>(seconds_ - other.seconds_) * kNanosPerSecond +
                       (static_cast<std::int64_t>(nanos_) - static_cast<std::int64_t>(other.nanos_));
    if (d > std::numeric_limits<std::int64_t>::max()) return std::numeric_limits<std::int64_t>::max();
    if (d < std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

std::int64_t Timestamp::seconds_since(const Timestamp& other) const noexcept {
    std::int64_t s = seconds_ - other.seconds_;
    if (nanos_ < other.nanos_) --s;
    return s;
}

CivilTime Timestamp::to_civil() const noexcept {
    using namespace std::chrono;
    const std::int64_t days = floor_div(seconds_, 86400);
    const std::int64_t secs_of_day = seconds_ - days * 86400;
    const year_month_day ymd{sys_days{std::chrono::days{days}}};
    CivilTime c;
    c.year = static_cast<int>(ymd.year());
    c.month = static_cast<unsigned>(ymd.month());
    c.day = static_cast<unsigned>(ymd.day());
    c.hour = static_cast<std::uint32_t>(secs_of_day / 3600);
    c.minute = static_cast<std::uint32_t>(secs_of_day / 60 % 60);
    c.second = static_cast<std::uint32_t>(secs_of_day % 60);
    c.nanosecond = nanos_;
    return c;
}

void Timestamp::append_rfc3339(std::string& out) const {
    append_date_time(out, to_civil(), 'T');
    out.push_back('Z');
}

std::string Timestamp::to_rfc3339() const {
    std::string s;
    s.reserve(30);
    append_rfc3339(s);
    return s;
}

std::string Timestamp::to_rfc3339_offset() const {
    std::string s;
    s.reserve(35);
    append_date_time(s, to_civil(), 'T');
    s.append("+00:00");
    return s;
}

std::string Timestamp::to_display() const {
    std::string s;
    s.reserve(34);
    append_date_time(s, to_civil(), ' ');
    s.append(" UTC");
    return s;
}

std::expected<Timestamp, TimeError> Timestamp::parse_rfc3339(std::string_view text) {
    Cursor c{text};
    CivilTime t;
    std::uint32_t year = 0;
    if (!c.digits(4, year)) return std::unexpected(parse_error(text, "expected a four-digit year"));
    t.year = static_cast<std::int32_t>(year);
    if (!c.lit('-') || !c.digits(2, t.month)) return std::unexpected(parse_error(text, "expected -MM after the year"));
    if (!c.lit('-') || !c.digits(2, t.day)) return std::unexpected(parse_error(text, "expected -DD after the month"));
    if (!(c.lit('T') || c.lit('t') || c.lit(' ')))
        return std::unexpected(parse_error(text, "expected `T` between date and time"));
    if (!c.digits(2, t.hour) || !c.lit(':') || !c.digits(2, t.minute) || !c.lit(':') || !c.digits(2, t.second))
        return std::unexpected(parse_error(text, "expected hh:mm:ss"));
    if (c.lit('.')) {
        int n = 0;
        std::uint32_t nanos = 0;
        while (!c.at_end() && c.peek() >= '0' && c.peek() <= '9') {
            if (n < 9) nanos = nanos * 10 + static_cast<std::uint32_t>(c.peek() - '0');
            ++n;
            ++c.i;
        }
        if (n == 0) return std::unexpected(parse_error(text, "expected digits after `.`"));
        for (int k = n; k < 9; ++k) nanos *= 10;
        t.nanosecond = nanos;
    }
    std::int64_t offset = 0;
    if (c.lit('Z') || c.lit('z')) {
        offset = 0;
    } else if (c.peek() == '+' || c.peek() == '-') {
        const bool negative = c.peek() == '-';
        ++c.i;
        std::uint32_t oh = 0, om = 0;
        if (!c.digits(2, oh) || !c.lit(':') || !c.digits(2, om))
            return std::unexpected(parse_error(text, "expected an offset of the form +hh:mm"));
        if (oh > 23 || om > 59) return std::unexpected(parse_error(text, "offset out of range"));
        offset = static_cast<std::int64_t>(oh) * 3600 + static_cast<std::int64_t>(om) * 60;
        if (negative) offset = -offset;
    } else if (c.at_end()) {
        return std::unexpected(parse_error(text, "missing offset (`Z` or +hh:mm)"));
    } else {
        return std::unexpected(parse_error(text, "expected an offset (`Z` or +hh:mm)"));
    }
    if (!c.at_end()) return std::unexpected(parse_error(text, "trailing characters"));
    if (t.month < 1 || t.month > 12 || !valid_date(t.year == 0 ? 2000 : t.year, t.month, t.day))
        return std::unexpected(parse_error(text, "no such date"));
    if (t.hour > 23 || t.minute > 59 || t.second > 59)
        return std::unexpected(parse_error(text, "time of day out of range"));
    const std::int64_t local =
        days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
    auto ts = from_unix(local - offset, t.nanosecond);
    if (!ts) return std::unexpected(parse_error(text, "date-time out of range (years 0001 to 9999 in UTC)"));
    return *ts;
}

Timestamp now() noexcept {
    const auto d = std::chrono::system_clock::now().time_since_epoch();
    return Timestamp::from_unix_nanos(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

}  // namespace ostrel_util
