// Drift detection: each detector's signals and exact texts, the evaluator's
// verdicts and log events, the gate-option builder, and concurrent use.

#include "core/drift.hpp"

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

#include "util/log.hpp"

namespace {

using namespace ostrel_core;
using ostrel_util::log::CapturedEvent;
using ostrel_util::log::CapturingSink;
using ostrel_util::log::Level;
using ostrel_util::log::ScopedSink;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDegPerRad = 1.0 / 0.017453292519943295;

// Degrees of latitude that span `km` along a meridian: on a meridian the
// haversine distance is exactly R * dlat, so these give known distances.
double lat_for_km(double km) { return km / 6371.0 * kDegPerRad; }

IpAddr ip(const char* text) {
    const auto parsed = IpAddr::parse(text);
    EXPECT_TRUE(parsed.has_value()) << text;
    return parsed.value_or(IpAddr{});
}

GeoLocation geo(std::string country, std::optional<std::string> city, std::optional<double> lat,
                std::optional<double> lon, std::optional<std::string> region = std::nullopt) {
    return GeoLocation{std::move(country), std::move(region), std::move(city), lat, lon};
}

ActionContext make_ctx(std::string action = "docs.read") {
    return ActionContext::create(Principal{"agent-7", PrincipalKind::Agent, {"support"}},
                                 ActionDescriptor(std::move(action)), SessionState::create(), EnvContext{});
}

Timestamp at(std::int64_t secs, std::uint32_t nanos = 0) { return *Timestamp::from_unix(secs, nanos); }

// A fixed clock for the time-based detectors, with a count of its readings.
constexpr std::int64_t kNow = 1'736'000'000;  // 2025-01-04T14:13:20Z
std::atomic<int> g_clock_reads{0};
Timestamp fixed_clock() noexcept {
    g_clock_reads.fetch_add(1);
    return *Timestamp::from_unix(kNow);
}

struct LogCapture {
    std::shared_ptr<CapturingSink> sink = std::make_shared<CapturingSink>();
    ScopedSink guard{sink};
};

// ---------------------------------------------------------------------------
// GeoLocationDrift

struct GeoCase {
    const char* label;
    std::optional<const char*> origin_ip;
    std::optional<const char*> current_ip;
    std::optional<double> radius;
    std::optional<GeoLocation> origin_geo;
    std::optional<GeoLocation> current_geo;
    DriftSignal::Kind kind;
    const char* message;  // warning or violation message; unused when clean
    const char* details;  // violation details; unused otherwise
};

const GeoLocation kOriginAtZero = geo("DE", "Berlin", 0.0, 0.0);

std::vector<GeoCase> geo_cases() {
    using K = DriftSignal::Kind;
    const GeoLocation two_km = geo("DE", "Potsdam", lat_for_km(2.0), 0.0, "Brandenburg");
    const GeoLocation three_hundred_km = geo("PL", "Szczecin", lat_for_km(300.0), 0.0);
    return {
        {"same_ip_strict", "10.0.0.1", "10.0.0.1", std::nullopt, std::nullopt, std::nullopt, K::Clean, "", ""},
        {"same_ip_tolerant_far_apart", "10.0.0.1", "10.0.0.1", 50.0, kOriginAtZero, three_hundred_km, K::Clean, "",
         ""},
        {"no_origin_ip", std::nullopt, "10.0.0.2", std::nullopt, std::nullopt, std::nullopt, K::Clean, "", ""},
        {"no_current_ip", "10.0.0.1", std::nullopt, 50.0, kOriginAtZero, three_hundred_km, K::Clean, "", ""},
        {"no_ips_at_all", std::nullopt, std::nullopt, std::nullopt, kOriginAtZero, three_hundred_km, K::Clean, "",
         ""},
        {"strict_change", "10.0.0.1", "10.0.0.2", std::nullopt, std::nullopt, std::nullopt, K::Violation,
         "IP changed mid-session: 10.0.0.1 \u2192 10.0.0.2", "origin_ip=10.0.0.1, current_ip=10.0.0.2"},
        {"strict_change_with_city", "10.0.0.1", "10.0.0.2", std::nullopt, kOriginAtZero, two_km, K::Violation,
         "IP changed mid-session: 10.0.0.1 \u2192 10.0.0.2 (current geo: DE/Potsdam)",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2"},
        {"strict_change_country_only", "10.0.0.1", "10.0.0.2", std::nullopt, std::nullopt,
         geo("FR", std::nullopt, std::nullopt, std::nullopt, "Normandy"), K::Violation,
         "IP changed mid-session: 10.0.0.1 \u2192 10.0.0.2 (current geo: FR)",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2"},
        {"v4_never_equals_v6", "10.0.0.1", "::ffff:10.0.0.1", std::nullopt, std::nullopt, std::nullopt,
         K::Violation, "IP changed mid-session: 10.0.0.1 \u2192 ::ffff:10.0.0.1",
         "origin_ip=10.0.0.1, current_ip=::ffff:10.0.0.1"},
        {"v6_standard_text", "2001:db8:0:0:0:0:0:1", "2001:db8::2", std::nullopt, std::nullopt, std::nullopt,
         K::Violation, "IP changed mid-session: 2001:db8::1 \u2192 2001:db8::2",
         "origin_ip=2001:db8::1, current_ip=2001:db8::2"},
        {"tolerant_within_radius", "10.0.0.1", "10.0.0.2", 50.0, kOriginAtZero, two_km, K::Warning,
         "IP changed mid-session but within 50.0km threshold (2.0km): 10.0.0.1 \u2192 10.0.0.2 "
         "(current geo: DE/Potsdam)",
         ""},
        {"tolerant_beyond_radius", "10.0.0.1", "10.0.0.2", 50.0, kOriginAtZero, three_hundred_km, K::Violation,
         "IP changed mid-session and moved 300.0km (> 50.0km threshold): 10.0.0.1 \u2192 10.0.0.2 "
         "(current geo: PL/Szczecin)",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2, distance_km=300.0, max_distance_km=50"},
        {"tolerant_fractional_radius", "10.0.0.1", "10.0.0.2", 12.34, kOriginAtZero, three_hundred_km,
         K::Violation,
         "IP changed mid-session and moved 300.0km (> 12.3km threshold): 10.0.0.1 \u2192 10.0.0.2 "
         "(current geo: PL/Szczecin)",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2, distance_km=300.0, max_distance_km=12.34"},
        {"tolerant_no_origin_geo", "10.0.0.1", "10.0.0.2", 50.0, std::nullopt, two_km, K::Violation,
         "IP changed mid-session and geo distance is unverifiable: 10.0.0.1 \u2192 10.0.0.2 "
         "(current geo: DE/Potsdam)",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2, max_distance_km=50, origin_geo_present=false, "
         "current_geo_present=true"},
        {"tolerant_no_geo_at_all", "10.0.0.1", "10.0.0.2", 50.0, std::nullopt, std::nullopt, K::Violation,
         "IP changed mid-session and geo distance is unverifiable: 10.0.0.1 \u2192 10.0.0.2",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2, max_distance_km=50, origin_geo_present=false, "
         "current_geo_present=false"},
        {"tolerant_current_geo_without_coordinates", "10.0.0.1", "10.0.0.2", 50.0, kOriginAtZero,
         geo("DE", "Hamburg", std::nullopt, std::nullopt), K::Violation,
         "IP changed mid-session and geo distance is unverifiable: 10.0.0.1 \u2192 10.0.0.2 "
         "(current geo: DE/Hamburg)",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2, max_distance_km=50, origin_geo_present=true, "
         "current_geo_present=true"},
        {"tolerant_origin_lacks_longitude", "10.0.0.1", "10.0.0.2", 50.0, geo("DE", "Berlin", 0.0, std::nullopt),
         two_km, K::Violation,
         "IP changed mid-session and geo distance is unverifiable: 10.0.0.1 \u2192 10.0.0.2 "
         "(current geo: DE/Potsdam)",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2, max_distance_km=50, origin_geo_present=true, "
         "current_geo_present=true"},
        // A NaN coordinate gives no distance at all; it must not pass as
        // "within the radius".
        {"tolerant_nan_coordinate_is_unverifiable", "10.0.0.1", "10.0.0.2", 50.0, kOriginAtZero,
         geo("DE", "Potsdam", kNaN, 0.0), K::Violation,
         "IP changed mid-session and geo distance is unverifiable: 10.0.0.1 \u2192 10.0.0.2 "
         "(current geo: DE/Potsdam)",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2, max_distance_km=50, origin_geo_present=true, "
         "current_geo_present=true"},
        {"zero_radius_same_spot_warns", "10.0.0.1", "10.0.0.2", 0.0, kOriginAtZero, kOriginAtZero, K::Warning,
         "IP changed mid-session but within 0.0km threshold (0.0km): 10.0.0.1 \u2192 10.0.0.2 "
         "(current geo: DE/Berlin)",
         ""},
        {"negative_radius_used_as_given", "10.0.0.1", "10.0.0.2", -1.0, kOriginAtZero, kOriginAtZero,
         K::Violation,
         "IP changed mid-session and moved 0.0km (> -1.0km threshold): 10.0.0.1 \u2192 10.0.0.2 "
         "(current geo: DE/Berlin)",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2, distance_km=0.0, max_distance_km=-1"},
        // A radius that compares with nothing tolerates nothing.
        {"nan_radius_tolerates_nothing", "10.0.0.1", "10.0.0.2", kNaN, kOriginAtZero, two_km, K::Violation,
         "IP changed mid-session and moved 2.0km (> NaNkm threshold): 10.0.0.1 \u2192 10.0.0.2 "
         "(current geo: DE/Potsdam)",
         "origin_ip=10.0.0.1, current_ip=10.0.0.2, distance_km=2.0, max_distance_km=NaN"},
    };
}

class GeoDriftTest : public ::testing::TestWithParam<GeoCase> {};

TEST_P(GeoDriftTest, Signal) {
    const GeoCase& c = GetParam();
    ActionContext ctx = make_ctx();
    if (c.origin_ip) ctx.session.origin_ip = ip(*c.origin_ip);
    if (c.current_ip) ctx.environment.ip = ip(*c.current_ip);
    ctx.session.origin_geo = c.origin_geo;
    ctx.environment.current_geo = c.current_geo;

    const GeoLocationDrift detector(c.radius);
    const DriftSignal s = detector.detect(ctx);
    ASSERT_EQ(s.kind(), c.kind);
    if (const DriftWarning* w = s.warning()) {
        EXPECT_EQ(w->detector, "geo_drift");
        EXPECT_EQ(w->message, c.message);
    }
    if (const DriftViolation* v = s.violation()) {
        EXPECT_EQ(v->detector, "geo_drift");
        EXPECT_EQ(v->message, c.message);
        EXPECT_EQ(v->details, c.details);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, GeoDriftTest, ::testing::ValuesIn(geo_cases()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(GeoDrift, WarningScoreIsDistanceOverRadius) {
    ActionContext ctx = make_ctx();
    ctx.session.origin_ip = ip("10.0.0.1");
    ctx.environment.ip = ip("10.0.0.2");
    ctx.session.origin_geo = kOriginAtZero;
    ctx.environment.current_geo = geo("DE", "Potsdam", lat_for_km(2.0), 0.0);
    const DriftSignal s = GeoLocationDrift(50.0).detect(ctx);
    ASSERT_NE(s.warning(), nullptr);
    EXPECT_NEAR(s.warning()->score, 0.04, 1e-9);

    // At the radius exactly the score is 1 and it is still a warning.
    ctx.environment.current_geo = geo("DE", "Potsdam", lat_for_km(50.0) * (1.0 - 1e-12), 0.0);
    const DriftSignal edge = GeoLocationDrift(50.0).detect(ctx);
    ASSERT_NE(edge.warning(), nullptr);
    EXPECT_NEAR(edge.warning()->score, 1.0, 1e-9);
    EXPECT_LE(edge.warning()->score, 1.0);
}

TEST(GeoDrift, ModeAndName) {
    EXPECT_EQ(GeoLocationDrift().name(), "geo_drift");
    EXPECT_FALSE(GeoLocationDrift::strict()->max_distance_km().has_value());
    EXPECT_EQ(GeoLocationDrift::tolerant(25.0)->max_distance_km(), 25.0);
}

// ---------------------------------------------------------------------------
// SessionAgeDrift

struct AgeCase {
    const char* label;
    std::int64_t max_age;
    std::int64_t age_secs;       // the session started kNow - age_secs ...
    std::uint32_t start_nanos;   // ... plus these nanoseconds
    DriftSignal::Kind kind;
    const char* message;
    const char* details;
};

class SessionAgeDriftTest : public ::testing::TestWithParam<AgeCase> {};

TEST_P(SessionAgeDriftTest, Signal) {
    const AgeCase& c = GetParam();
    ActionContext ctx = make_ctx();
    ctx.session.started_at = at(kNow - c.age_secs, c.start_nanos);
    const SessionAgeDrift detector(c.max_age);
    const DriftSignal s = detector.detect_at(ctx, fixed_clock());
    ASSERT_EQ(s.kind(), c.kind);
    if (const DriftWarning* w = s.warning()) {
        EXPECT_EQ(w->detector, "session_age_drift");
        EXPECT_EQ(w->message, c.message);
    }
    if (const DriftViolation* v = s.violation()) {
        EXPECT_EQ(v->detector, "session_age_drift");
        EXPECT_EQ(v->message, c.message);
        EXPECT_EQ(v->details, c.details);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SessionAgeDriftTest,
    ::testing::Values(
        AgeCase{"three_hours_clean", 14400, 10800, 0, DriftSignal::Kind::Clean, "", ""},
        AgeCase{"three_hours_one_second_warns", 14400, 10801, 0, DriftSignal::Kind::Warning,
                "session approaching max age (10801s / 14400s)", ""},
        AgeCase{"exactly_four_hours_warns", 14400, 14400, 0, DriftSignal::Kind::Warning,
                "session approaching max age (14400s / 14400s)", ""},
        // 14400.5 s truncates to 14400: still only a warning.
        AgeCase{"fraction_truncated", 14400, 14401, 500'000'000, DriftSignal::Kind::Warning,
                "session approaching max age (14400s / 14400s)", ""},
        AgeCase{"four_hours_one_second_invalidates", 14400, 14401, 0, DriftSignal::Kind::Violation,
                "session age (14401s) exceeds maximum (14400s)",
                "session_started=2025-01-04 10:13:19 UTC, max_age=14400s"},
        AgeCase{"start_with_milliseconds", 14400, 20000, 250'000'000, DriftSignal::Kind::Violation,
                "session age (19999s) exceeds maximum (14400s)",
                "session_started=2025-01-04 08:40:00.250 UTC, max_age=14400s"},
        AgeCase{"start_with_microseconds", 100, 200, 123'456'000, DriftSignal::Kind::Violation,
                "session age (199s) exceeds maximum (100s)",
                "session_started=2025-01-04 14:10:00.123456 UTC, max_age=100s"},
        AgeCase{"start_with_nanoseconds", 100, 200, 1, DriftSignal::Kind::Violation,
                "session age (199s) exceeds maximum (100s)",
                "session_started=2025-01-04 14:10:00.000000001 UTC, max_age=100s"},
        AgeCase{"future_start_clean", 14400, -3600, 0, DriftSignal::Kind::Clean, "", ""},
        // 3 * 10 / 4 truncates to 7.
        AgeCase{"small_limit_threshold_truncates_clean", 10, 7, 0, DriftSignal::Kind::Clean, "", ""},
        AgeCase{"small_limit_threshold_truncates_warn", 10, 8, 0, DriftSignal::Kind::Warning,
                "session approaching max age (8s / 10s)", ""},
        AgeCase{"zero_limit_fresh_session_clean", 0, 0, 0, DriftSignal::Kind::Clean, "", ""},
        AgeCase{"negative_limit", -4, 0, 0, DriftSignal::Kind::Violation, "session age (0s) exceeds maximum (-4s)",
                "session_started=2025-01-04 14:13:20 UTC, max_age=-4s"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SessionAgeDrift, WarningScoreIsAgeOverLimit) {
    ActionContext ctx = make_ctx();
    ctx.session.started_at = at(kNow - 12600);
    const DriftSignal s = SessionAgeDrift(14400).detect_at(ctx, fixed_clock());
    ASSERT_NE(s.warning(), nullptr);
    EXPECT_DOUBLE_EQ(s.warning()->score, 12600.0 / 14400.0);
}

TEST(SessionAgeDrift, DefaultsToFourHoursAndTheSystemClock) {
    const SessionAgeDrift d;
    EXPECT_EQ(d.name(), "session_age_drift");
    EXPECT_EQ(d.max_age_secs(), 14400);
    // A session that started five hours ago by the real clock.
    ActionContext ctx = make_ctx();
    ctx.session.started_at = *ostrel_util::now().checked_add_seconds(-5 * 3600);
    EXPECT_EQ(d.detect(ctx).kind(), DriftSignal::Kind::Violation);
}

// ---------------------------------------------------------------------------
// DeviceDrift

struct DeviceCase {
    const char* label;
    std::optional<DeviceFingerprint> origin;
    std::optional<DeviceFingerprint> current;
    bool violation;
    const char* details;
};

class DeviceDriftTest : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceDriftTest, Signal) {
    const DeviceCase& c = GetParam();
    ActionContext ctx = make_ctx();
    ctx.session.origin_device = c.origin;
    ctx.environment.device = c.current;
    const DriftSignal s = DeviceDrift().detect(ctx);
    if (!c.violation) {
        EXPECT_TRUE(s.is_clean());
        return;
    }
    ASSERT_NE(s.violation(), nullptr);
    EXPECT_EQ(s.violation()->detector, "device_drift");
    EXPECT_EQ(s.violation()->message, "device fingerprint changed mid-session");
    EXPECT_EQ(s.violation()->details, c.details);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceDriftTest,
    ::testing::Values(
        DeviceCase{"no_current", DeviceFingerprint{"aaa", "laptop"}, std::nullopt, false, ""},
        DeviceCase{"no_origin", std::nullopt, DeviceFingerprint{"aaa", "laptop"}, false, ""},
        DeviceCase{"equal", DeviceFingerprint{"aaa", "laptop"}, DeviceFingerprint{"aaa", "laptop"}, false, ""},
        DeviceCase{"equal_without_descriptions", DeviceFingerprint{"aaa", std::nullopt},
                   DeviceFingerprint{"aaa", std::nullopt}, false, ""},
        DeviceCase{"hash_changed", DeviceFingerprint{"aaa", "laptop"}, DeviceFingerprint{"bbb", "laptop"}, true,
                   "origin_device=aaa, current_device=bbb"},
        DeviceCase{"description_changed", DeviceFingerprint{"aaa", "laptop"}, DeviceFingerprint{"aaa", "phone"},
                   true, "origin_device=aaa, current_device=aaa"},
        DeviceCase{"description_appeared", DeviceFingerprint{"aaa", std::nullopt},
                   DeviceFingerprint{"aaa", "laptop"}, true, "origin_device=aaa, current_device=aaa"}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// BehaviorDrift

struct RateCase {
    const char* label;
    std::int64_t age_secs;
    std::uint64_t count;
    DriftSignal::Kind kind;
    const char* message;
    const char* details;
};

class BehaviorDriftTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(BehaviorDriftTest, Signal) {
    const RateCase& c = GetParam();
    ActionContext ctx = make_ctx();
    ctx.session.started_at = at(kNow - c.age_secs);
    ctx.session.action_count = c.count;
    const DriftSignal s = BehaviorDrift(30, 100).detect_at(ctx, fixed_clock());
    ASSERT_EQ(s.kind(), c.kind);
    if (const DriftWarning* w = s.warning()) {
        EXPECT_EQ(w->detector, "behavior_drift");
        EXPECT_EQ(w->message, c.message);
    }
    if (const DriftViolation* v = s.violation()) {
        EXPECT_EQ(v->detector, "behavior_drift");
        EXPECT_EQ(v->message, c.message);
        EXPECT_EQ(v->details, c.details);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BehaviorDriftTest,
    ::testing::Values(
        RateCase{"five_minutes_160_warns", 300, 160, DriftSignal::Kind::Warning, "elevated action rate: 32/min", ""},
        RateCase{"five_minutes_510_invalidates", 300, 510, DriftSignal::Kind::Violation,
                 "action rate (102/min) exceeds violation threshold (100)",
                 "actions=510, session_age_min=5, rate=102/min"},
        RateCase{"rate_equal_to_violation_only_warns", 300, 500, DriftSignal::Kind::Warning,
                 "elevated action rate: 100/min", ""},
        RateCase{"rate_equal_to_warning_is_clean", 300, 150, DriftSignal::Kind::Clean, "", ""},
        RateCase{"rate_rounds_down", 300, 159, DriftSignal::Kind::Warning, "elevated action rate: 31/min", ""},
        RateCase{"ten_seconds_counts_as_one_minute", 10, 101, DriftSignal::Kind::Violation,
                 "action rate (101/min) exceeds violation threshold (100)",
                 "actions=101, session_age_min=1, rate=101/min"},
        RateCase{"ten_seconds_31_warns", 10, 31, DriftSignal::Kind::Warning, "elevated action rate: 31/min", ""},
        RateCase{"minutes_truncate", 119, 120, DriftSignal::Kind::Violation,
                 "action rate (120/min) exceeds violation threshold (100)",
                 "actions=120, session_age_min=1, rate=120/min"},
        RateCase{"future_start_counts_as_one_minute", -600, 150, DriftSignal::Kind::Violation,
                 "action rate (150/min) exceeds violation threshold (100)",
                 "actions=150, session_age_min=1, rate=150/min"},
        RateCase{"no_actions_clean", 0, 0, DriftSignal::Kind::Clean, "", ""},
        RateCase{"old_busy_session_clean", 86400, 43200, DriftSignal::Kind::Clean, "", ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(BehaviorDrift, WarningScoreIsRateOverViolationRate) {
    ActionContext ctx = make_ctx();
    ctx.session.started_at = at(kNow - 300);
    ctx.session.action_count = 160;
    const DriftSignal s = BehaviorDrift(30, 100).detect_at(ctx, fixed_clock());
    ASSERT_NE(s.warning(), nullptr);
    EXPECT_DOUBLE_EQ(s.warning()->score, 0.32);
}

TEST(BehaviorDrift, CustomThresholds) {
    ActionContext ctx = make_ctx();
    ctx.session.started_at = at(kNow - 60);
    ctx.session.action_count = 6;
    EXPECT_EQ(BehaviorDrift(5, 10).detect_at(ctx, fixed_clock()).kind(), DriftSignal::Kind::Warning);
    EXPECT_EQ(BehaviorDrift(2, 5).detect_at(ctx, fixed_clock()).kind(), DriftSignal::Kind::Violation);
    EXPECT_EQ(BehaviorDrift(6, 10).detect_at(ctx, fixed_clock()).kind(), DriftSignal::Kind::Clean);
    const BehaviorDrift defaults;
    EXPECT_EQ(defaults.name(), "behavior_drift");
    EXPECT_EQ(defaults.warning_rate_per_min(), 30u);
    EXPECT_EQ(defaults.violation_rate_per_min(), 100u);
}

// ---------------------------------------------------------------------------
// The evaluator

// A detector that returns a fixed signal and counts its calls.
class ScriptedDetector final : public DriftDetector {
public:
    ScriptedDetector(std::string name, DriftSignal signal, std::shared_ptr<std::atomic<int>> calls)
        : name_(std::move(name)), signal_(std::move(signal)), calls_(std::move(calls)) {}
    std::string_view name() const override { return name_; }
    DriftSignal detect_at(const ActionContext&, const Timestamp&) const override {
        calls_->fetch_add(1);
        return signal_;
    }

private:
    std::string name_;
    DriftSignal signal_;
    std::shared_ptr<std::atomic<int>> calls_;
};

class ThrowingDetector final : public DriftDetector {
public:
    std::string_view name() const override { return "exploding"; }
    DriftSignal detect_at(const ActionContext&, const Timestamp&) const override {
        throw std::runtime_error("lookup service down");
    }
};

struct Chain {
    std::vector<std::shared_ptr<std::atomic<int>>> calls;
    std::vector<std::unique_ptr<const DriftDetector>> detectors;

    Chain& add(const std::string& name, DriftSignal signal) {
        calls.push_back(std::make_shared<std::atomic<int>>(0));
        detectors.push_back(std::make_unique<ScriptedDetector>(name, std::move(signal), calls.back()));
        return *this;
    }
};

DriftSignal warn(const std::string& detector, const std::string& message) {
    return DriftWarning{detector, message, 0.5};
}
DriftSignal violate(const std::string& detector, const std::string& message) {
    return DriftViolation{detector, message, "k=v"};
}

std::vector<CapturedEvent> drift_events(const CapturingSink& sink) {
    std::vector<CapturedEvent> out;
    for (const auto& e : sink.events()) {
        if (e.target == "ostrel_core::drift") out.push_back(e);
    }
    return out;
}

TEST(DriftEvaluatorTest, Identity) {
    const DriftEvaluator e({}, 3);
    EXPECT_EQ(e.name(), "drift");
    EXPECT_EQ(e.priority(), 100u);
}

TEST(DriftEvaluatorTest, AllCleanPermitsWithATokenForTheContext) {
    LogCapture logs;
    Chain chain;
    chain.add("a", DriftSignal::clean()).add("b", DriftSignal::clean());
    const DriftEvaluator e(std::move(chain.detectors), 3);
    const ActionContext ctx = make_ctx("docs.search");
    const Verdict v = e.evaluate(ctx);
    ASSERT_TRUE(v.is_permit());
    EXPECT_EQ(v.permit()->evaluation_id, ctx.evaluation_id);
    EXPECT_EQ(v.permit()->action_name, "docs.search");
    EXPECT_TRUE(drift_events(*logs.sink).empty());
    EXPECT_EQ(chain.calls[0]->load(), 1);
    EXPECT_EQ(chain.calls[1]->load(), 1);
}

TEST(DriftEvaluatorTest, WarningsBelowThresholdPermitAndAreLogged) {
    LogCapture logs;
    Chain chain;
    chain.add("a", warn("geo_drift", "first")).add("b", DriftSignal::clean()).add("c", warn("behavior_drift", "second"));
    const DriftEvaluator e(std::move(chain.detectors), 3);
    EXPECT_TRUE(e.evaluate(make_ctx()).is_permit());

    const auto events = drift_events(*logs.sink);
    ASSERT_EQ(events.size(), 2u);
    for (const auto& ev : events) {
        EXPECT_EQ(ev.level, Level::Warn);
        EXPECT_EQ(ev.message, "drift warning");
    }
    EXPECT_EQ(events[0].field("detector"), "geo_drift");
    EXPECT_EQ(events[0].field("message"), "first");
    EXPECT_EQ(events[1].field("detector"), "behavior_drift");
    EXPECT_EQ(events[1].field("message"), "second");
}

TEST(DriftEvaluatorTest, WarningsAtThresholdRefuse) {
    struct Case {
        std::size_t warnings;
        std::size_t threshold;
        bool refused;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {3, 3, true, "3 concurrent drift warnings (threshold: 3)"},
        {4, 3, true, "4 concurrent drift warnings (threshold: 3)"},
        {2, 3, false, ""},
        {1, 1, true, "1 concurrent drift warnings (threshold: 1)"},
        {0, 1, false, ""},
        {0, 0, true, "0 concurrent drift warnings (threshold: 0)"},
    };
    for (const Case& c : cases) {
        Chain chain;
        for (std::size_t i = 0; i < c.warnings; ++i) chain.add("w" + std::to_string(i), warn("d", "m"));
        chain.add("clean", DriftSignal::clean());
        const DriftEvaluator e(std::move(chain.detectors), c.threshold);
        const ActionContext ctx = make_ctx();
        const Verdict v = e.evaluate(ctx);
        ASSERT_EQ(v.is_refuse(), c.refused) << c.warnings << " of " << c.threshold;
        if (c.refused) {
            EXPECT_EQ(v.refusal()->evaluator, "drift");
            EXPECT_EQ(v.refusal()->code, RefuseCode::DriftDetected);
            EXPECT_EQ(v.refusal()->reason, c.reason);
            EXPECT_EQ(v.refusal()->evaluation_id, ctx.evaluation_id);
        } else {
            EXPECT_TRUE(v.is_permit());
        }
    }
}

TEST(DriftEvaluatorTest, ViolationInvalidatesTheSessionAndStopsTheChain) {
    LogCapture logs;
    Chain chain;
    chain.add("a", warn("geo_drift", "tolerated"))
        .add("b", violate("device_drift", "device fingerprint changed mid-session"))
        .add("c", warn("behavior_drift", "never produced"))
        .add("d", violate("session_age_drift", "never produced either"));
    const DriftEvaluator e(std::move(chain.detectors), 1);  // the earlier warning alone would refuse
    const ActionContext ctx = make_ctx();
    const Verdict v = e.evaluate(ctx);

    ASSERT_TRUE(v.is_invalidate());
    const InvalidationScope& scope = *v.invalidation();
    EXPECT_EQ(scope.target, InvalidationTarget::session(ctx.session.session_id));
    EXPECT_EQ(scope.reason, "device fingerprint changed mid-session");
    EXPECT_EQ(scope.evaluator, "drift");
    EXPECT_EQ(chain.calls[2]->load(), 0);
    EXPECT_EQ(chain.calls[3]->load(), 0);

    const auto events = drift_events(*logs.sink);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, "drift warning");
    EXPECT_EQ(events[1].level, Level::Error);
    EXPECT_EQ(events[1].message, "drift violation");
    EXPECT_EQ(events[1].field("detector"), "device_drift");
    EXPECT_EQ(events[1].field("message"), "device fingerprint changed mid-session");
    EXPECT_FALSE(events[1].has_field("details"));
}

TEST(DriftEvaluatorTest, FirstDetectorViolationProducesNoLaterEvents) {
    LogCapture logs;
    ActionContext ctx = make_ctx();
    // Strict geolocation change, plus conditions every later default
    // detector would report on.
    ctx.session.origin_ip = ip("10.0.0.1");
    ctx.environment.ip = ip("10.0.0.2");
    ctx.session.started_at = *ostrel_util::now().checked_add_seconds(-5 * 3600);
    ctx.session.origin_device = DeviceFingerprint{"aaa", std::nullopt};
    ctx.environment.device = DeviceFingerprint{"bbb", std::nullopt};
    ctx.session.action_count = 1'000'000;

    const Verdict v = DriftEvaluator::with_defaults()->evaluate(ctx);
    ASSERT_TRUE(v.is_invalidate());
    EXPECT_EQ(v.invalidation()->target, InvalidationTarget::session(ctx.session.session_id));
    EXPECT_EQ(v.invalidation()->reason, "IP changed mid-session: 10.0.0.1 \u2192 10.0.0.2");
    const auto events = drift_events(*logs.sink);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].field("detector"), "geo_drift");
}

TEST(DriftEvaluatorTest, StrictChangeWithCurrentGeoCarriesTheSuffix) {
    ActionContext ctx = make_ctx();
    ctx.session.origin_ip = ip("10.0.0.1");
    ctx.environment.ip = ip("10.0.0.2");
    ctx.environment.current_geo = geo("AU", "Sydney", -33.87, 151.21);
    const Verdict v = DriftEvaluator::with_defaults()->evaluate(ctx);
    ASSERT_TRUE(v.is_invalidate());
    EXPECT_EQ(v.invalidation()->reason, "IP changed mid-session: 10.0.0.1 \u2192 10.0.0.2 (current geo: AU/Sydney)");
}

// The default chain (geolocation tolerant at 50 km, session age 14400,
// device, behaviour 30/100, threshold 3) on the fixed clock.
std::shared_ptr<DriftEvaluator> default_chain_on_fixed_clock() {
    std::vector<std::unique_ptr<const DriftDetector>> detectors;
    detectors.push_back(GeoLocationDrift::tolerant(50.0));
    detectors.push_back(std::make_unique<SessionAgeDrift>(14400));
    detectors.push_back(std::make_unique<DeviceDrift>());
    detectors.push_back(std::make_unique<BehaviorDrift>(30, 100));
    return std::make_shared<DriftEvaluator>(std::move(detectors), DriftEvaluator::kDefaultWarningThreshold,
                                            &fixed_clock);
}

TEST(DriftEvaluatorTest, DefaultChainRefusesWhenThreeDetectorsWarn) {
    LogCapture logs;
    ActionContext ctx = make_ctx();
    ctx.session.origin_ip = ip("10.0.0.1");
    ctx.environment.ip = ip("10.0.0.2");
    ctx.session.origin_geo = kOriginAtZero;
    ctx.environment.current_geo = geo("DE", "Potsdam", lat_for_km(2.0), 0.0);
    // 3.5 hours old (between the 3-hour warning and the 4-hour limit) and 50
    // actions a minute (between 30 and 100).
    ctx.session.started_at = at(kNow - 12600);
    ctx.session.action_count = 210 * 50;

    const auto chain = default_chain_on_fixed_clock();
    const Verdict v = chain->evaluate(ctx);
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(v.refusal()->evaluator, "drift");
    EXPECT_EQ(v.refusal()->code, RefuseCode::DriftDetected);
    EXPECT_EQ(v.refusal()->reason, "3 concurrent drift warnings (threshold: 3)");
    EXPECT_EQ(v.refusal()->to_string(), "[DRIFT_DETECTED] drift: 3 concurrent drift warnings (threshold: 3)");

    const auto events = drift_events(*logs.sink);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].field("detector"), "geo_drift");
    EXPECT_EQ(events[1].field("detector"), "session_age_drift");
    EXPECT_EQ(events[2].field("detector"), "behavior_drift");
    EXPECT_EQ(events[1].field("message"), "session approaching max age (12600s / 14400s)");
    EXPECT_EQ(events[2].field("message"), "elevated action rate: 50/min");

    // Without the geolocation warning, two warnings remain: permitted.
    ctx.environment.ip = ctx.session.origin_ip;
    EXPECT_TRUE(chain->evaluate(ctx).is_permit());
}

TEST(DriftEvaluatorTest, ReadsTheClockOncePerEvaluationAndOnlyWhenNeeded) {
    const ActionContext ctx = make_ctx();
    g_clock_reads = 0;
    (void)default_chain_on_fixed_clock()->evaluate(ctx);
    EXPECT_EQ(g_clock_reads.load(), 1);

    std::vector<std::unique_ptr<const DriftDetector>> timeless;
    timeless.push_back(GeoLocationDrift::strict());
    timeless.push_back(std::make_unique<DeviceDrift>());
    const DriftEvaluator e(std::move(timeless), 3, &fixed_clock);
    g_clock_reads = 0;
    EXPECT_TRUE(e.evaluate(ctx).is_permit());
    EXPECT_EQ(g_clock_reads.load(), 0);
}

TEST(DriftEvaluatorTest, OneGeoWarningAlonePermits) {
    ActionContext ctx = make_ctx();
    ctx.session.origin_ip = ip("10.0.0.1");
    ctx.environment.ip = ip("10.0.0.2");
    ctx.session.origin_geo = kOriginAtZero;
    ctx.environment.current_geo = geo("DE", "Potsdam", lat_for_km(2.0), 0.0);
    EXPECT_TRUE(DriftEvaluator::with_defaults(50.0)->evaluate(ctx).is_permit());
}

TEST(DriftEvaluatorTest, ThrowingDetectorRefuses) {
    std::vector<std::unique_ptr<const DriftDetector>> detectors;
    detectors.push_back(std::make_unique<ThrowingDetector>());
    const DriftEvaluator e(std::move(detectors), 3);
    const ActionContext ctx = make_ctx();
    const Verdict v = e.evaluate(ctx);
    ASSERT_TRUE(v.is_refuse());
    EXPECT_EQ(v.refusal()->evaluator, "drift");
    EXPECT_EQ(v.refusal()->code, RefuseCode::DriftDetected);
    EXPECT_EQ(v.refusal()->reason, "drift detector 'exploding' failed: lookup service down");
    EXPECT_EQ(v.refusal()->evaluation_id, ctx.evaluation_id);
}

TEST(DriftEvaluatorTest, NullDetectorsAreDropped) {
    std::vector<std::unique_ptr<const DriftDetector>> detectors;
    detectors.push_back(nullptr);
    detectors.push_back(std::make_unique<DeviceDrift>());
    detectors.push_back(nullptr);
    const DriftEvaluator e(std::move(detectors), 3);
    ASSERT_EQ(e.detectors().size(), 1u);
    EXPECT_EQ(e.detectors()[0]->name(), "device_drift");
    EXPECT_TRUE(e.evaluate(make_ctx()).is_permit());
}

// ---------------------------------------------------------------------------
// Gate options

TEST(DriftOptionsBuild, DisabledGivesNoEvaluator) {
    EXPECT_EQ(DriftEvaluator::from_options(DriftOptions{false, std::nullopt}), nullptr);
    EXPECT_EQ(DriftEvaluator::from_options(DriftOptions{false, 50.0}), nullptr);
}

TEST(DriftOptionsBuild, DefaultChain) {
    struct Case {
        std::optional<double> radius;
    };
    for (const Case& c : {Case{std::nullopt}, Case{50.0}, Case{0.0}, Case{-3.0}}) {
        const auto e = DriftEvaluator::from_options(DriftOptions{true, c.radius});
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->warning_threshold(), 3u);
        ASSERT_EQ(e->detectors().size(), 4u);
        const auto& d = e->detectors();
        EXPECT_EQ(d[0]->name(), "geo_drift");
        EXPECT_EQ(d[1]->name(), "session_age_drift");
        EXPECT_EQ(d[2]->name(), "device_drift");
        EXPECT_EQ(d[3]->name(), "behavior_drift");

        const auto* g = dynamic_cast<const GeoLocationDrift*>(d[0].get());
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->max_distance_km(), c.radius);  // used as given, not validated
        const auto* a = dynamic_cast<const SessionAgeDrift*>(d[1].get());
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->max_age_secs(), 14400);
        const auto* b = dynamic_cast<const BehaviorDrift*>(d[3].get());
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->warning_rate_per_min(), 30u);
        EXPECT_EQ(b->violation_rate_per_min(), 100u);
    }
    EXPECT_TRUE(DriftOptions{}.enable_drift);
    EXPECT_FALSE(DriftOptions{}.geo_drift_max_km.has_value());
}

// ---------------------------------------------------------------------------
// Concurrency: one shared evaluator, many threads

TEST(DriftEvaluatorConcurrency, SharedEvaluatorGivesEveryThreadTheRightAnswer) {
    const auto e = DriftEvaluator::with_defaults(50.0);
    constexpr int kThreads = 4;
    constexpr int kRounds = 1000;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                ActionContext ctx = make_ctx();
                ctx.session.origin_ip = ip("10.0.0.1");
                ctx.environment.ip = ip("10.0.0.2");
                ctx.session.origin_geo = kOriginAtZero;
                const bool far = (i + t) % 2 == 0;
                ctx.environment.current_geo = geo("XX", std::nullopt, lat_for_km(far ? 300.0 : 2.0), 0.0);
                const Verdict v = e->evaluate(ctx);
                if (far) {
                    if (!v.is_invalidate() ||
                        v.invalidation()->target != InvalidationTarget::session(ctx.session.session_id)) {
                        wrong.fetch_add(1);
                    }
                } else if (!v.is_permit() || v.permit()->evaluation_id != ctx.evaluation_id) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
