// Drift detection: has the session moved away from what it looked like when
// it started?
//
// Each `DriftDetector` compares one aspect of the current request with the
// session's origin and answers Clean, a warning or a violation:
//
//   GeoLocationDrift  "geo_drift"          the client IP changed (optionally
//                                          tolerated within a radius in km)
//   SessionAgeDrift   "session_age_drift"  the session is too old
//   DeviceDrift       "device_drift"       the device fingerprint changed
//   BehaviorDrift     "behavior_drift"     actions per minute are too high
//
// A `DriftEvaluator` is the gate's evaluator "drift" (priority 100, between
// the policy engine and the invariants). It runs its detectors in order; the
// first violation revokes the session (an Invalidate verdict naming the
// session) and stops; warnings are counted, and `warning_threshold` of them
// in one evaluation refuse with DRIFT_DETECTED.
//
// Detectors and the evaluator hold only their configuration: all history
// they judge arrives in the context. They are immutable and shared between
// threads without locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/context.hpp"
#include "core/evaluator.hpp"
#include "core/verdict.hpp"
#include "util/time.hpp"

namespace ostrel_core {

// A detector's observation that is suspicious but tolerated.
struct DriftWarning {
    std::string detector;
    std::string message;
    // How close the observation is to the violation limit (1.0 = at the
    // limit); informative only.
    double score = 0.0;
    bool operator==(const DriftWarning&) const = default;
};

// A detector's observation that revokes the session.
struct DriftViolation {
    std::string detector;
    std::string message;
    // A key=value diagnostic line; not passed on by the evaluator.
    std::string details;
    bool operator==(const DriftViolation&) const = default;
};

// The result of one detector for one context.
class DriftSignal {
public:
    enum class Kind : std::uint8_t { Clean, Warning, Violation };

    DriftSignal() noexcept = default;  // Clean
    static DriftSignal clean() noexcept { return DriftSignal(); }
    DriftSignal(DriftWarning w) : value_(std::move(w)) {}
    DriftSignal(DriftViolation v) : value_(std::move(v)) {}

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
    bool is_clean() const noexcept { return value_.index() == 0; }
    const DriftWarning* warning() const noexcept { return std::get_if<DriftWarning>(&value_); }
    const DriftViolation* violation() const noexcept { return std::get_if<DriftViolation>(&value_); }

    bool operator==(const DriftSignal&) const = default;

private:
    std::variant<std::monostate, DriftWarning, DriftViolation> value_;
};

class DriftDetector {
public:
    virtual ~DriftDetector() = default;
    // The detector's fixed name; every signal it produces carries it.
    virtual std::string_view name() const = 0;
    // Examines one context, judging ages against the current UTC time. Never
    // fails: missing data is Clean (except for the tolerant geolocation
    // check, see GeoLocationDrift).
    virtual DriftSignal detect(const ActionContext& ctx) const { return detect_at(ctx, ostrel_util::now()); }
    // The same with `now` as the current time. The evaluator reads the clock
    // once per evaluation and hands that reading to every detector.
    virtual DriftSignal detect_at(const ActionContext& ctx, const Timestamp& now) const = 0;
    // True for detectors that use `now`; when none does, the evaluator does
    // not read the clock at all.
    virtual bool reads_clock() const noexcept { return false; }
};

// Compares session.origin_ip with environment.ip.
//
// Unchanged, or either side unknown: Clean. Changed, in strict mode (no
// radius): Violation. Changed, in tolerant mode with radius R km: the origin
// and current geolocations must both carry coordinates (else Violation,
// "unverifiable"); a great-circle distance above R is a Violation, within R a
// Warning with score min(d / R, 1). Coordinates that give no real distance
// (NaN or infinite values) count as unverifiable, and a radius that compares
// with nothing (NaN) tolerates nothing.
class GeoLocationDrift final : public DriftDetector {
public:
    static constexpr std::string_view kName = "geo_drift";

    // Absent radius: strict mode. The radius is used as given (zero or
    // negative tolerate no distance at all).
    explicit GeoLocationDrift(std::optional<double> max_distance_km = std::nullopt) noexcept
        : max_distance_km_(max_distance_km) {}
    static std::unique_ptr<GeoLocationDrift> strict() { return std::make_unique<GeoLocationDrift>(); }
    static std::unique_ptr<GeoLocationDrift> tolerant(double max_distance_km) {
        return std::make_unique<GeoLocationDrift>(max_distance_km);
    }

    const std::optional<double>& max_distance_km() const noexcept { return max_distance_km_; }

    std::string_view name() const override { return kName; }
    DriftSignal detect_at(const ActionContext& ctx, const Timestamp& now) const override;

private:
    std::optional<double> max_distance_km_;
};

// Judges the session's age (now - session.started_at, whole seconds toward
// zero) against M = max_age_secs: above M a Violation; above 3M/4 (integer
// arithmetic) a Warning with score age / M; otherwise Clean.
class SessionAgeDrift final : public DriftDetector {
public:
    static constexpr std::string_view kName = "session_age_drift";
    static constexpr std::int64_t kDefaultMaxAgeSecs = 14400;  // four hours

    explicit SessionAgeDrift(std::int64_t max_age_secs = kDefaultMaxAgeSecs) noexcept
        : max_age_secs_(max_age_secs) {}

    std::int64_t max_age_secs() const noexcept { return max_age_secs_; }

    std::string_view name() const override { return kName; }
    DriftSignal detect_at(const ActionContext& ctx, const Timestamp& now) const override;
    bool reads_clock() const noexcept override { return true; }

private:
    std::int64_t max_age_secs_;
};

// Compares session.origin_device with environment.device (hash and
// description): any difference is a Violation; either side unknown is Clean.
class DeviceDrift final : public DriftDetector {
public:
    static constexpr std::string_view kName = "device_drift";

    std::string_view name() const override { return kName; }
    DriftSignal detect_at(const ActionContext& ctx, const Timestamp& now) const override;
};

// Judges the session's action rate: action_count per whole minute of age
// (a session younger than a minute, or starting in the future, counts as one
// minute old), rounded down. Above V = violation_rate_per_min a Violation;
// above W = warning_rate_per_min a Warning with score rate / V; otherwise
// Clean.
class BehaviorDrift final : public DriftDetector {
public:
    static constexpr std::string_view kName = "behavior_drift";
    static constexpr std::uint64_t kDefaultWarningRatePerMin = 30;
    static constexpr std::uint64_t kDefaultViolationRatePerMin = 100;

    explicit BehaviorDrift(std::uint64_t warning_rate_per_min = kDefaultWarningRatePerMin,
                           std::uint64_t violation_rate_per_min = kDefaultViolationRatePerMin) noexcept
        : warning_rate_per_min_(warning_rate_per_min), violation_rate_per_min_(violation_rate_per_min) {}

    std::uint64_t warning_rate_per_min() const noexcept { return warning_rate_per_min_; }
    std::uint64_t violation_rate_per_min() const noexcept { return violation_rate_per_min_; }

    std::string_view name() const override { return kName; }
    DriftSignal detect_at(const ActionContext& ctx, const Timestamp& now) const override;
    bool reads_clock() const noexcept override { return true; }

private:
    std::uint64_t warning_rate_per_min_;
    std::uint64_t violation_rate_per_min_;
};

// The gate options that produce a drift evaluator.
struct DriftOptions {
    // false: the gate gets no drift evaluator.
    bool enable_drift = true;
    // Radius of the tolerant geolocation mode; absent = strict.
    std::optional<double> geo_drift_max_km;
};

// The evaluator "drift".
class DriftEvaluator final : public Evaluator {
public:
    static constexpr std::string_view kName = "drift";
    static constexpr std::uint32_t kPriority = 100;
    static constexpr std::string_view kLogTarget = "ostrel_core::drift";
    static constexpr std::size_t kDefaultWarningThreshold = 3;

    // Source of the current wall-clock time; replaceable for tests that need
    // a fixed instant.
    using Clock = Timestamp (*)() noexcept;

    // Null detectors are dropped. A threshold of 0 refuses every evaluation
    // that no violation ends (0 warnings reach it).
    DriftEvaluator(std::vector<std::unique_ptr<const DriftDetector>> detectors, std::size_t warning_threshold,
                   Clock clock = &ostrel_util::now);

    // The standard chain: GeoLocationDrift (tolerant with the given radius,
    // strict without), SessionAgeDrift(14400), DeviceDrift, BehaviorDrift(30,
    // 100), warning threshold 3.
    static std::shared_ptr<DriftEvaluator> with_defaults(std::optional<double> geo_drift_max_km = std::nullopt);
    // The standard chain configured by the gate options, or nullptr when
    // drift detection is disabled.
    static std::shared_ptr<DriftEvaluator> from_options(const DriftOptions& options);

    const std::vector<std::unique_ptr<const DriftDetector>>& detectors() const noexcept { return detectors_; }
    std::size_t warning_threshold() const noexcept { return warning_threshold_; }

    std::string_view name() const override { return kName; }
    // Runs the detectors in order, all with one reading of the clock. A
    // warning logs WARN "drift warning"
    // (fields `detector`, `message`); a violation logs ERROR "drift
    // violation" (same fields) and returns Invalidate(session, message,
    // "drift") at once. After the last detector, warning_threshold or more
    // warnings refuse with "{n} concurrent drift warnings (threshold: {t})";
    // otherwise the action is permitted. A detector that throws refuses the
    // action ("drift detector '{name}' failed: ...").
    Verdict evaluate(const ActionContext& ctx) const override;
    std::uint32_t priority() const override { return kPriority; }

private:
    std::vector<std::unique_ptr<const DriftDetector>> detectors_;
    std::size_t warning_threshold_;
    Clock clock_;
    bool reads_clock_ = false;
};

}  // namespace ostrel_core
