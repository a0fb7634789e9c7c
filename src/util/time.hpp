// Instants in UTC with nanosecond resolution, and their RFC 3339 text.
//
// A `Timestamp` is whole seconds since the Unix epoch plus a sub-second part
// in [0, 1e9) nanoseconds (for instants before the epoch the seconds are
// rounded down, so the nanoseconds stay non-negative). The representable
// range is that of RFC 3339 text, 0001-01-01T00:00:00Z to
// 9999-12-31T23:59:59.999999999Z, so every accepted instant can be written.
//
// Fraction rule used by every writer here: no fraction when the sub-second
// part is zero; otherwise 3 digits when it is a whole number of
// milliseconds, 6 when a whole number of microseconds, else 9.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel_util {

// Why a text is not a valid RFC 3339 date-time or a value is out of range.
struct TimeError {
    std::string message;
    const std::string& display() const noexcept { return message; }
    bool operator==(const TimeError&) const = default;
};

// Broken-down UTC (or local, when produced by a zone conversion) time.
struct CivilTime {
    std::int32_t year = 1970;
    std::uint32_t month = 1;   // 1..12
    std::uint32_t day = 1;     // 1..31
    std::uint32_t hour = 0;    // 0..23
    std::uint32_t minute = 0;  // 0..59
    std::uint32_t second = 0;  // 0..59
    std::uint32_t nanosecond = 0;
    bool operator==(const CivilTime&) const = default;
};

class Timestamp {
public:
    static constexpr std::int64_t kMinSeconds = -62135596800;  // 0001-01-01T00:00:00Z
    static constexpr std::int64_t kMaxSeconds = 253402300799;  // 9999-12-31T23:59:59Z

    // The Unix epoch.
    constexpr Timestamp() noexcept = default;

    // Seconds since the epoch and nanoseconds (< 1e9); absent when outside
    // the representable range or when nanos >= 1e9.
    static std::optional<Timestamp> from_unix(std::int64_t seconds, std::uint32_t nanos = 0) noexcept;
    // Nanoseconds since the epoch (always within range).
    static Timestamp from_unix_nanos(std::int64_t nanos) noexcept;
    // A UTC civil time; absent for impossible dates/times or out of range.
    static std::optional<Timestamp> from_civil(const CivilTime& civil) noexcept;

    // Whole seconds since the epoch, rounded down (also before the epoch).
    constexpr std::int64_t unix_seconds() const noexcept { return seconds_; }
    constexpr std::uint32_t subsec_nanos() const noexcept { return nanos_; }
    // The instant with the sub-second part dropped (rounded down).
    constexpr Timestamp floor_seconds() const noexcept { return Timestamp(seconds_, 0); }

    // Adds (or subtracts) whole seconds / nanoseconds; absent when the result
    // leaves the representable range.
    std::optional<Timestamp> checked_add_seconds(std::int64_t seconds) const noexcept;
    std::optional<Timestamp> checked_add_nanos(std::int64_t nanos) const noexcept;

    // this - other in nanoseconds, saturated to the int64 range.
    std::int64_t nanos_since(const Timestamp& other) const noexcept;
    // this - other in whole seconds, rounded toward negative infinity.
    std::int64_t seconds_since(const Timestamp& other) const noexcept;

    CivilTime to_civil() const noexcept;
    std::chrono::sys_seconds to_sys_seconds() const noexcept {
        return std::chrono::sys_seconds(std::chrono::seconds(seconds_));
    }

    // "2025-01-02T03:04:05.123Z"
    std::string to_rfc3339() const;
    // "2025-01-02T03:04:05.123+00:00"
    std::string to_rfc3339_offset() const;
    // "2025-01-02 03:04:05.500 UTC" (date, space, time with the fraction
    // rule, space, "UTC"), the form used in human-readable messages.
    std::string to_display() const;
    void append_rfc3339(std::string& out) const;

    // Reads RFC 3339 text with any offset ("Z", "z", "+hh:mm", "-hh:mm") and
    // converts it to UTC. "T", "t" or a space separates date and time; the
    // fraction may have any number of digits (beyond 9 they are truncated).
    // Leap seconds (second 60) are rejected. Fails when the text is malformed
    // or the UTC instant is outside the representable range.
    static std::expected<Timestamp, TimeError> parse_rfc3339(std::string_view text);

    friend constexpr bool operator==(const Timestamp&, const Timestamp&) noexcept = default;
    friend constexpr std::strong_ordering operator<=>(const Timestamp&, const Timestamp&) noexcept = default;

private:
    constexpr Timestamp(std::int64_t s, std::uint32_t n) noexcept : seconds_(s), nanos_(n) {}
    std::int64_t seconds_ = 0;
    std::uint32_t nanos_ = 0;
};

// The current UTC time from the system clock.
Timestamp now() noexcept;

// The fraction of the fraction rule, including the leading '.', or empty.
// E.g. 500000000 -> ".500", 1000 -> ".000001", 0 -> "".
void append_fraction(std::string& out, std::uint32_t nanos);

}  // namespace ostrel_util
