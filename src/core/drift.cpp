#include "core/drift.hpp"

#include <cmath>
#include <exception>
#include <string>
#include <utility>

#include "core/invariant.hpp"
#include "core/invariant_text.hpp"
#include "util/log.hpp"

namespace ostrel_core {

namespace {

using ostrel_util::log::Level;

constexpr std::string_view kArrow = " \u2192 ";

// " (current geo: CC)" or " (current geo: CC/City)" when the request carries
// a location; empty otherwise. The region is not shown.
std::string current_geo_suffix(const EnvContext& env) {
    if (!env.current_geo) return {};
    std::string out = " (current geo: ";
    out += env.current_geo->country_code;
    if (env.current_geo->city) {
        out += '/';
        out += *env.current_geo->city;
    }
    out += ')';
    return out;
}

// "{O} → {C}{G}"
std::string ip_change(const std::string& origin, const std::string& current, const EnvContext& env) {
    std::string out = origin;
    out += kArrow;
    out += current;
    out += current_geo_suffix(env);
    return out;
}

std::string to_text(bool b) { return b ? "true" : "false"; }

}  // namespace

DriftSignal GeoLocationDrift::detect_at(const ActionContext& ctx, const Timestamp& /*now*/) const {
    const std::optional<IpAddr>& origin_ip = ctx.session.origin_ip;
    const std::optional<IpAddr>& current_ip = ctx.environment.ip;
    if (!origin_ip || !current_ip || *origin_ip == *current_ip) {
        return DriftSignal::clean();
    }
    const std::string o = origin_ip->to_string();
    const std::string c = current_ip->to_string();

    if (!max_distance_km_) {
        return DriftViolation{std::string(kName), "IP changed mid-session: " + ip_change(o, c, ctx.environment),
                              "origin_ip=" + o + ", current_ip=" + c};
    }
    const double radius = *max_distance_km_;

    const std::optional<GeoLocation>& origin_geo = ctx.session.origin_geo;
    const std::optional<GeoLocation>& current_geo = ctx.environment.current_geo;
    std::optional<double> distance;
    if (origin_geo && current_geo) {
        distance = origin_geo->distance_km(*current_geo);
    }
    // A distance that is not a number (NaN or infinite coordinates) proves
    // nothing about where the client is, so it is treated like missing
    // coordinates rather than as "within the radius".
    if (!distance || std::isnan(*distance)) {
        std::string details = "origin_ip=" + o + ", current_ip=" + c + ", max_distance_km=";
        append_plain_decimal(details, radius);
        details += ", origin_geo_present=" + to_text(origin_geo.has_value());
        details += ", current_geo_present=" + to_text(current_geo.has_value());
        return DriftViolation{std::string(kName),
                              "IP changed mid-session and geo distance is unverifiable: " +
                                  ip_change(o, c, ctx.environment),
                              std::move(details)};
    }
    const double d = *distance;

    // Tolerated only when d <= R is positively true, so a NaN radius
    // tolerates nothing.
    if (!(d <= radius)) {
        std::string message = "IP changed mid-session and moved " + one_decimal(d) + "km (> " +
                              one_decimal(radius) + "km threshold): " + ip_change(o, c, ctx.environment);
        std::string details = "origin_ip=" + o + ", current_ip=" + c + ", distance_km=" + one_decimal(d) +
                              ", max_distance_km=";
        append_plain_decimal(details, radius);
        return DriftViolation{std::string(kName), std::move(message), std::move(details)};
    }
    std::string message = "IP changed mid-session but within " + one_decimal(radius) + "km threshold (" +
                          one_decimal(d) + "km): " + ip_change(o, c, ctx.environment);
    // fmin ignores a NaN quotient (0 / 0 for a zero radius and distance).
    return DriftWarning{std::string(kName), std::move(message), std::fmin(d / radius, 1.0)};
}

DriftSignal SessionAgeDrift::detect_at(const ActionContext& ctx, const Timestamp& now) const {
    const std::int64_t age = whole_seconds_between(ctx.session.started_at, now);
    const std::int64_t max_age = max_age_secs_;
    if (age > max_age) {
        return DriftViolation{std::string(kName),
                              "session age (" + std::to_string(age) + "s) exceeds maximum (" +
                                  std::to_string(max_age) + "s)",
                              "session_started=" + ctx.session.started_at.to_display() +
                                  ", max_age=" + std::to_string(max_age) + "s"};
    }
    // 3M/4 in signed 64-bit arithmetic, truncating toward zero. The product
    // wraps (as two's complement) only for limits beyond about 97 billion
    // years, which no session reaches; compute it unsigned to keep the
    // behaviour defined.
    const std::int64_t warn_after =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(max_age) * 3u) / 4;
    if (age > warn_after) {
        return DriftWarning{std::string(kName),
                            "session approaching max age (" + std::to_string(age) + "s / " +
                                std::to_string(max_age) + "s)",
                            static_cast<double>(age) / static_cast<double>(max_age)};
    }
    return DriftSignal::clean();
}

DriftSignal DeviceDrift::detect_at(const ActionContext& ctx, const Timestamp& /*now*/) const {
    const std::optional<DeviceFingerprint>& current = ctx.environment.device;
    const std::optional<DeviceFingerprint>& origin = ctx.session.origin_device;
    if (!current || !origin || *current == *origin) {
        return DriftSignal::clean();
    }
    return DriftViolation{std::string(kName), "device fingerprint changed mid-session",
                          "origin_device=" + origin->hash + ", current_device=" + current->hash};
}

DriftSignal BehaviorDrift::detect_at(const ActionContext& ctx, const Timestamp& now) const {
    std::int64_t minutes = whole_seconds_between(ctx.session.started_at, now) / 60;
    if (minutes < 1) minutes = 1;
    const std::uint64_t count = ctx.session.action_count;
    const std::uint64_t rate = count / static_cast<std::uint64_t>(minutes);
    if (rate > violation_rate_per_min_) {
        return DriftViolation{std::string(kName),
                              "action rate (" + std::to_string(rate) + "/min) exceeds violation threshold (" +
                                  std::to_string(violation_rate_per_min_) + ")",
                              "actions=" + std::to_string(count) + ", session_age_min=" +
                                  std::to_string(minutes) + ", rate=" + std::to_string(rate) + "/min"};
    }
    if (rate > warning_rate_per_min_) {
        return DriftWarning{std::string(kName), "elevated action rate: " + std::to_string(rate) + "/min",
                            static_cast<double>(rate) / static_cast<double>(violation_rate_per_min_)};
    }
    return DriftSignal::clean();
}

DriftEvaluator::DriftEvaluator(std::vector<std::unique_ptr<const DriftDetector>> detectors,
                               std::size_t warning_threshold, Clock clock)
    : warning_threshold_(warning_threshold), clock_(clock != nullptr ? clock : &ostrel_util::now) {
    detectors_.reserve(detectors.size());
    for (auto& d : detectors) {
        if (!d) continue;
        reads_clock_ = reads_clock_ || d->reads_clock();
        detectors_.push_back(std::move(d));
    }
}

std::shared_ptr<DriftEvaluator> DriftEvaluator::with_defaults(std::optional<double> geo_drift_max_km) {
    std::vector<std::unique_ptr<const DriftDetector>> detectors;
    detectors.reserve(4);
    detectors.push_back(std::make_unique<GeoLocationDrift>(geo_drift_max_km));
    detectors.push_back(std::make_unique<SessionAgeDrift>());
    detectors.push_back(std::make_unique<DeviceDrift>());
    detectors.push_back(std::make_unique<BehaviorDrift>());
    return std::make_shared<DriftEvaluator>(std::move(detectors), kDefaultWarningThreshold);
}

std::shared_ptr<DriftEvaluator> DriftEvaluator::from_options(const DriftOptions& options) {
    if (!options.enable_drift) return nullptr;
    return with_defaults(options.geo_drift_max_km);
}

Verdict DriftEvaluator::evaluate(const ActionContext& ctx) const {
    // Only the number of warnings decides; their texts have been logged.
    std::size_t warnings = 0;
    const Timestamp now = reads_clock_ ? clock_() : Timestamp{};
    for (const auto& detector : detectors_) {
        DriftSignal signal;
        try {
            signal = detector->detect_at(ctx, now);
        } catch (const std::exception& e) {
            return Verdict::refuse(std::string(kName),
                                   "drift detector '" + std::string(detector->name()) + "' failed: " + e.what(),
                                   ctx.evaluation_id, RefuseCode::DriftDetected);
        } catch (...) {
            return Verdict::refuse(std::string(kName),
                                   "drift detector '" + std::string(detector->name()) + "' failed",
                                   ctx.evaluation_id, RefuseCode::DriftDetected);
        }
        if (const DriftWarning* w = signal.warning()) {
            OSTREL_LOG(Level::Warn, kLogTarget, "drift warning", {"detector", w->detector}, {"message", w->message});
            ++warnings;
        } else if (const DriftViolation* v = signal.violation()) {
            OSTREL_LOG(Level::Error, kLogTarget, "drift violation", {"detector", v->detector},
                       {"message", v->message});
            return Verdict(InvalidationScope{InvalidationTarget::session(ctx.session.session_id), v->message,
                                             std::string(kName)});
        }
    }
    if (warnings >= warning_threshold_) {
        return Verdict::refuse(std::string(kName),
                               std::to_string(warnings) + " concurrent drift warnings (threshold: " +
                                   std::to_string(warning_threshold_) + ")",
                               ctx.evaluation_id, RefuseCode::DriftDetected);
    }
    return Verdict(PermitToken::create(ctx.evaluation_id, ctx.action.name));
}

}  // namespace ostrel_core
