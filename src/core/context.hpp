// The request model: one `ActionContext` per evaluation, and its members.
//
// A context is built once by the caller, then only read by the gate and its
// evaluators (from any thread). `SessionState`, `GeoLocation` and
// `DeviceFingerprint` also have a compact JSON form (the session stores keep
// sessions in it): keys in declaration order, absent optional members written
// as null. Reading accepts keys in any order, ignores unknown keys, and
// rejects repeated keys.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "util/ip_addr.hpp"
#include "util/json.hpp"
#include "util/time.hpp"
#include "util/uuid.hpp"

namespace ostrel_core {

using ostrel_util::IpAddr;
using ostrel_util::JsonError;
using ostrel_util::Timestamp;
using ostrel_util::Uuid;

enum class PrincipalKind : std::uint8_t { User, Agent, Service, Scheduler, External };

// "user", "agent", "service", "scheduler", "external".
std::string_view principal_kind_text(PrincipalKind kind) noexcept;
// Exact, case-sensitive inverse of principal_kind_text.
std::optional<PrincipalKind> parse_principal_kind(std::string_view text) noexcept;
// The five words in declaration order (for "expected one of" messages).
const std::array<std::string_view, 5>& principal_kind_names() noexcept;

struct Principal {
    std::string id;
    PrincipalKind kind = PrincipalKind::User;
    std::vector<std::string> roles;
    bool operator==(const Principal&) const = default;
};

// Action parameters: names to JSON values, one entry per name. The JSON type
// is only forward-declared here; code that builds or inspects values includes
// <nlohmann/json.hpp>.
using ParamMap = std::map<std::string, nlohmann::json, std::less<>>;

struct ActionDescriptor {
    std::string name;
    std::optional<std::string> resource;
    ParamMap params;

    ActionDescriptor();
    explicit ActionDescriptor(std::string name, std::optional<std::string> resource = std::nullopt);
    ActionDescriptor(const ActionDescriptor&);
    ActionDescriptor(ActionDescriptor&&) noexcept;
    ActionDescriptor& operator=(const ActionDescriptor&);
    ActionDescriptor& operator=(ActionDescriptor&&) noexcept;
    ~ActionDescriptor();

    // Inserts or replaces the entry `key`.
    void set_param(std::string key, nlohmann::json value);
    // The entry, or nullptr.
    const nlohmann::json* find_param(std::string_view key) const;
    // The value when the entry is a JSON number (integers converted to the
    // nearest double); none for any other type or a missing key.
    std::optional<double> param_as_f64(std::string_view key) const;
    // The text when the entry is a JSON string; none otherwise.
    std::optional<std::string_view> param_as_str(std::string_view key) const;

    bool operator==(const ActionDescriptor& other) const;
};

struct GeoLocation {
    std::string country_code;
    std::optional<std::string> region;
    std::optional<std::string> city;
    std::optional<double> latitude;
    std::optional<double> longitude;

    bool operator==(const GeoLocation&) const = default;

    // Great-circle (haversine) distance in km, Earth radius 6371.0 km; none
    // unless both sides carry both latitude and longitude.
    std::optional<double> distance_km(const GeoLocation& other) const noexcept;

    // {"country_code":..,"region":..,"city":..,"latitude":..,"longitude":..}
    void write_json(ostrel_util::JsonWriter& w) const;
    std::string to_json() const;
    static std::expected<GeoLocation, JsonError> from_json_value(const nlohmann::json& v);
    static std::expected<GeoLocation, JsonError> from_json(std::string_view text);
};

struct DeviceFingerprint {
    std::string hash;
    std::optional<std::string> description;

    // Equal when both hash and description are equal.
    bool operator==(const DeviceFingerprint&) const = default;

    // {"hash":..,"description":..}
    void write_json(ostrel_util::JsonWriter& w) const;
    std::string to_json() const;
    static std::expected<DeviceFingerprint, JsonError> from_json_value(const nlohmann::json& v);
    static std::expected<DeviceFingerprint, JsonError> from_json(std::string_view text);
};

struct SessionState {
    Uuid session_id;
    Timestamp started_at;
    std::uint64_t action_count = 0;
    std::vector<std::string> action_history;
    bool invalidated = false;
    std::optional<IpAddr> origin_ip;
    std::optional<DeviceFingerprint> origin_device;
    std::optional<GeoLocation> origin_geo;

    // A fresh session: random v4 id, started now, count 0, no history, not
    // invalidated, no origins.
    static SessionState create();

    bool operator==(const SessionState&) const = default;

    // {"session_id":..,"started_at":..,"action_count":..,"action_history":[..],
    //  "invalidated":..,"origin_ip":..,"origin_device":..,"origin_geo":..}
    void write_json(ostrel_util::JsonWriter& w) const;
    std::string to_json() const;
    // Requires "session_id", "started_at" and "action_count"; the rest
    // default when absent or null.
    static std::expected<SessionState, JsonError> from_json_value(const nlohmann::json& v);
    static std::expected<SessionState, JsonError> from_json(std::string_view text);
};

struct EnvContext {
    std::optional<IpAddr> ip;
    std::optional<GeoLocation> current_geo;
    std::optional<DeviceFingerprint> device;
    bool operator==(const EnvContext&) const = default;
};

struct ActionContext {
    Uuid evaluation_id;
    Timestamp timestamp;
    Principal principal;
    ActionDescriptor action;
    SessionState session;
    EnvContext environment;

    // Takes the four members, draws a fresh v4 evaluation id and stamps the
    // current UTC time. Cannot fail.
    static ActionContext create(Principal principal, ActionDescriptor action, SessionState session,
                                EnvContext environment);
};

}  // namespace ostrel_core
