#include "core/context.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

namespace ostrel_core {
namespace {

using nlohmann::json;
using ostrel_util::JsonWriter;
using ostrel_util::ObjectReader;

constexpr std::array<std::string_view, 5> kKindNames = {"user", "agent", "service", "scheduler", "external"};

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kEarthRadiusKm = 6371.0;

template <class T>
std::expected<T, JsonError> parse_then(std::string_view text,
                                       std::expected<T, JsonError> (*from_value)(const json&)) {
    auto v = ostrel_util::parse_json(text);
    if (!v) return std::unexpected(std::move(v.error()));
    return from_value(*v);
}

#define TRY_ASSIGN(lhs, expr)                                      \
    do {                                                           \
        auto _r = (expr);                                          \
        if (!_r) return std::unexpected(std::move(_r.error()));   \
        lhs = std::move(*_r);                                      \
    } while (0)

}  // namespace

// ---- PrincipalKind --------------------------------------------------------

std::string_view principal_kind_text(PrincipalKind kind) noexcept {
    return kKindNames[static_cast<std::size_t>(kind)];
}

std::optional<PrincipalKind> parse_principal_kind(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kKindNames.size(); ++i)
        if (kKindNames[i] == text) return static_cast<PrincipalKind>(i);
    return std::nullopt;
}

const std::array<std::string_view, 5>& principal_kind_names() noexcept { return kKindNames; }

// ---- ActionDescriptor -----------------------------------------------------

ActionDescriptor::ActionDescriptor() = default;
ActionDescriptor::ActionDescriptor(std::string n, std::optional<std::string> r)
    : name(std::move(n)), resource(std::move(r)) {}
ActionDescriptor::ActionDescriptor(const ActionDescriptor&) = default;
ActionDescriptor::ActionDescriptor(ActionDescriptor&&) noexcept = default;
ActionDescriptor& ActionDescriptor::operator=(const ActionDescriptor&) = default;
ActionDescriptor& ActionDescriptor::operator=(ActionDescriptor&&) noexcept = default;
ActionDescriptor::~ActionDescriptor() = default;

bool ActionDescriptor::operator==(const ActionDescriptor& o) const {
    return name == o.name && resource == o.resource && params == o.params;
}

void ActionDescriptor::set_param(std::string key, json value) { params.insert_or_assign(std::move(key), std::move(value)); }

const json* ActionDescriptor::find_param(std::string_view key) const {
    const auto it = params.find(key);
    return it == params.end() ? nullptr : &it->second;
}

std::optional<double> ActionDescriptor::param_as_f64(std::string_view key) const {
    const json* v = find_param(key);
    if (!v) return std::nullopt;
    switch (v->type()) {
        case json::value_t::number_float: return v->get<double>();
        case json::value_t::number_integer: return static_cast<double>(v->get<std::int64_t>());
        case json::value_t::number_unsigned: return static_cast<double>(v->get<std::uint64_t>());
        default: return std::nullopt;
    }
}

std::optional<std::string_view> ActionDescriptor::param_as_str(std::string_view key) const {
    const json* v = find_param(key);
    if (!v || !v->is_string()) return std::nullopt;
    return std::string_view(v->get_ref<const std::string&>());
}

// ---- GeoLocation ----------------------------------------------------------

std::optional<double> GeoLocation::distance_km(const GeoLocation& other) const noexcept {
    if (!latitude || !longitude || !other.latitude || !other.longitude) return std::nullopt;
    const double lat1 = *latitude * kDegToRad;
    const double lat2 = *other.latitude * kDegToRad;
    const double dlat = (*other.latitude - *latitude) * kDegToRad;
    const double dlon = (*other.longitude - *longitude) * kDegToRad;
    const double s1 = std::sin(dlat / 2);
    const double s2 = std::sin(dlon / 2);
    const double a = s1 * s1 + std::cos(lat1) * std::cos(lat2) * s2 * s2;
    const double c = 2 * std::asin(std::sqrt(a));
    return kEarthRadiusKm * c;
}

void GeoLocation::write_json(JsonWriter& w) const {
    w.begin_object();
    w.field("country_code", country_code);
    w.opt_field("region", region);
    w.opt_field("city", city);
    w.opt_field("latitude", latitude);
    w.opt_field("longitude", longitude);
    w.end_object();
}

std::string GeoLocation::to_json() const {
    JsonWriter w;
    write_json(w);
    return w.take();
}

std::expected<GeoLocation, JsonError> GeoLocation::from_json_value(const json& v) {
    auto r = ObjectReader::open(v, "an object GeoLocation");
    if (!r) return std::unexpected(std::move(r.error()));
    GeoLocation g;
    TRY_ASSIGN(g.country_code, r->string("country_code"));
    TRY_ASSIGN(g.region, r->opt_string("region"));
    TRY_ASSIGN(g.city, r->opt_string("city"));
    TRY_ASSIGN(g.latitude, r->opt_f64("latitude"));
    TRY_ASSIGN(g.longitude, r->opt_f64("longitude"));
    return g;
}

std::expected<GeoLocation, JsonError> GeoLocation::from_json(std::string_view text) {
    return parse_then<GeoLocation>(text, &GeoLocation::from_json_value);
}

// ---- DeviceFingerprint ----------------------------------------------------

void DeviceFingerprint::write_json(JsonWriter& w) const {
    w.begin_object();
    w.field("hash", hash);
    w.opt_field("description", description);
    w.end_object();
}

std::string DeviceFingerprint::to_json() const {
    JsonWriter w;
    write_json(w);
    return w.take();
}

std::expected<DeviceFingerprint, JsonError> DeviceFingerprint::from_json_value(const json& v) {
    auto r = ObjectReader::open(v, "an object DeviceFingerprint");
    if (!r) return std::unexpected(std::move(r.error()));
    DeviceFingerprint d;
    TRY_ASSIGN(d.hash, r->string("hash"));
    TRY_ASSIGN(d.description, r->opt_string("description"));
    return d;
}

std::expected<DeviceFingerprint, JsonError> DeviceFingerprint::from_json(std::string_view text) {
    return parse_then<DeviceFingerprint>(text, &DeviceFingerprint::from_json_value);
}

// ---- SessionState ---------------------------------------------------------

SessionState SessionState::create() {
    SessionState s;
    s.session_id = Uuid::new_v4();
    s.started_at = ostrel_util::now();
    return s;
}

void SessionState::write_json(JsonWriter& w) const {
    w.begin_object();
    w.field("session_id", session_id);
    w.field("started_at", started_at);
    w.field("action_count", action_count);
    w.key("action_history").begin_array();
    for (const auto& a : action_history) w.value(a);
    w.end_array();
    w.field("invalidated", invalidated);
    w.key("origin_ip");
    if (origin_ip) {
        w.value(origin_ip->to_string());
    } else {
        w.null();
    }
    w.key("origin_device");
    if (origin_device) {
        origin_device->write_json(w);
    } else {
        w.null();
    }
    w.key("origin_geo");
    if (origin_geo) {
        origin_geo->write_json(w);
    } else {
        w.null();
    }
    w.end_object();
}

std::string SessionState::to_json() const {
    JsonWriter w(160);
    write_json(w);
    return w.take();
}

std::expected<SessionState, JsonError> SessionState::from_json_value(const json& v) {
    auto r = ObjectReader::open(v, "an object SessionState");
    if (!r) return std::unexpected(std::move(r.error()));
    SessionState s;
    TRY_ASSIGN(s.session_id, r->uuid("session_id"));
    TRY_ASSIGN(s.started_at, r->timestamp("started_at"));
    TRY_ASSIGN(s.action_count, r->u64("action_count"));
    std::optional<std::vector<std::string>> history;
    TRY_ASSIGN(history, r->opt_string_array("action_history"));
    if (history) s.action_history = std::move(*history);
    std::optional<bool> invalidated;
    TRY_ASSIGN(invalidated, r->opt_boolean("invalidated"));
    s.invalidated = invalidated.value_or(false);
    std::optional<std::string> ip_text;
    TRY_ASSIGN(ip_text, r->opt_string("origin_ip"));
    if (ip_text) {
        s.origin_ip = IpAddr::parse(*ip_text);
        if (!s.origin_ip)
            return std::unexpected(JsonError::invalid_value("origin_ip", "\"" + *ip_text + "\" is not an IP address"));
    }
    if (const json* d = r->find_non_null("origin_device")) {
        TRY_ASSIGN(s.origin_device, DeviceFingerprint::from_json_value(*d));
    }
    if (const json* g = r->find_non_null("origin_geo")) {
        TRY_ASSIGN(s.origin_geo, GeoLocation::from_json_value(*g));
    }
    return s;
}

std::expected<SessionState, JsonError> SessionState::from_json(std::string_view text) {
    return parse_then<SessionState>(text, &SessionState::from_json_value);
}

// ---- ActionContext --------------------------------------------------------

ActionContext ActionContext::create(Principal principal, ActionDescriptor action, SessionState session,
                                    EnvContext environment) {
    return ActionContext{Uuid::new_v4(), ostrel_util::now(), std::move(principal), std::move(action),
                         std::move(session), std::move(environment)};
}

}  // namespace ostrel_core
