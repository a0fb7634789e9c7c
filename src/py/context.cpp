// Python classes describing one request: ActionContext, GeoLocation and
// DeviceFingerprint.

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "py/classes.hpp"
#include "py/gate_family.hpp"
#include "util/ip_addr.hpp"
#include "util/time.hpp"
#include "util/uuid.hpp"

namespace ostrel_py {

namespace core = ostrel_core;

// The `params` argument of ActionContext: a dict of str to float.
struct FloatParams {
    std::vector<std::pair<std::string, double>> items;
};

bool from_py(PyObject* o, FloatParams& out) {
    if (!PyDict_Check(o)) return raise_wrong_type(o, "dict");
    // Hold references: float conversion may run Python code (__float__).
    std::vector<std::pair<Ref, Ref>> entries;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(o, &pos, &key, &value)) entries.emplace_back(Ref::borrow(key), Ref::borrow(value));
    FloatParams result;
    result.items.reserve(entries.size());
    for (auto& [k, v] : entries) {
        std::string name;
        if (!from_py(k.get(), name)) return false;
        double d = 0.0;
        if (!from_py(v.get(), d)) return false;
        result.items.emplace_back(std::move(name), d);
    }
    out = std::move(result);
    return true;
}

namespace {

// A JSON number, or null for NaN and the infinities (JSON has neither).
nlohmann::json json_number(double d) {
    if (std::isfinite(d)) return nlohmann::json(d);
    return nlohmann::json(nullptr);
}

// ---------------------------------------------------------------------------
// GeoLocation

const char kGeoDoc[] =
    "GeoLocation(country_code, region=None, city=None, latitude=None, longitude=None)\n--\n\n"
    "A geographic location, used by the location drift detector. Only `country_code` is\n"
    "required; `region` and `city` are free text, `latitude` and `longitude` are degrees.";

const char kDistanceDoc[] =
    "distance_km($self, other)\n--\n\n"
    "Great-circle (haversine) distance to `other` in kilometres, Earth radius 6371.0 km.\n"
    "Returns None when either location lacks latitude or longitude.";

PyObject* geo_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("GeoLocation.__new__", kGeoDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        core::GeoLocation g;
        if (!a.get(0, g.country_code) || !a.get(1, g.region) || !a.get(2, g.city) || !a.get(3, g.latitude) ||
            !a.get(4, g.longitude))
            return nullptr;
        return make_instance<GeoLocationObject>(type, std::move(g));
    });
}

PyObject* geo_distance(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("GeoLocation.distance_km", kDistanceDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        GeoLocationObject* other = nullptr;
        if (!a.get(0, other)) return nullptr;
        return to_py(as<GeoLocationObject>(self)->value().distance_km(other->value()));
    });
}

// Four decimals, with the spellings of the other number texts for NaN and
// the infinities.
std::string four_decimals(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4f", d);
    return buf;
}

PyObject* geo_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const core::GeoLocation& g = as<GeoLocationObject>(self)->value();
        std::string s = "GeoLocation(" + g.country_code;
        if (g.city) s += "/" + *g.city;
        if (g.latitude && g.longitude) s += ", " + four_decimals(*g.latitude) + "," + four_decimals(*g.longitude);
        s += ")";
        return to_py(s);
    });
}

PyMethodDef g_geo_methods[] = {
    {"distance_km", as_cfunction(&geo_distance), METH_VARARGS | METH_KEYWORDS, kDistanceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_geo_getset[] = {
    {"country_code", getter<GeoLocationObject, [](const core::GeoLocation& g) { return to_py(g.country_code); }>,
     nullptr, "ISO country code.", nullptr},
    {"region", getter<GeoLocationObject, [](const core::GeoLocation& g) { return to_py(g.region); }>, nullptr,
     "Region, or None.", nullptr},
    {"city", getter<GeoLocationObject, [](const core::GeoLocation& g) { return to_py(g.city); }>, nullptr,
     "City, or None.", nullptr},
    {"latitude", getter<GeoLocationObject, [](const core::GeoLocation& g) { return to_py(g.latitude); }>, nullptr,
     "Latitude in degrees, or None.", nullptr},
    {"longitude", getter<GeoLocationObject, [](const core::GeoLocation& g) { return to_py(g.longitude); }>,
     nullptr, "Longitude in degrees, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// DeviceFingerprint

const char kDeviceDoc[] =
    "DeviceFingerprint(hash, description=None)\n--\n\n"
    "A device fingerprint, compared by the device drift detector. Only `hash` is required;\n"
    "`description` is free text.";

PyObject* device_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("DeviceFingerprint.__new__", kDeviceDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        core::DeviceFingerprint d;
        if (!a.get(0, d.hash) || !a.get(1, d.description)) return nullptr;
        return make_instance<DeviceFingerprintObject>(type, std::move(d));
    });
}

PyObject* device_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const core::DeviceFingerprint& d = as<DeviceFingerprintObject>(self)->value();
        std::string s = "DeviceFingerprint(hash=" + d.hash;
        if (d.description) s += ", description=" + *d.description;
        s += ")";
        return to_py(s);
    });
}

PyGetSetDef g_device_getset[] = {
    {"hash", getter<DeviceFingerprintObject, [](const core::DeviceFingerprint& d) { return to_py(d.hash); }>,
     nullptr, "Stable device identifier.", nullptr},
    {"description",
     getter<DeviceFingerprintObject, [](const core::DeviceFingerprint& d) { return to_py(d.description); }>, nullptr,
     "Free-text description, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// ActionContext

const char kContextDoc[] =
    "ActionContext(principal_id, principal_kind, action_name, roles=..., resource=None, params=None, "
    "ip=None, session_id=None, current_geo=None, origin_geo=None, origin_ip=None, device=None, "
    "origin_device=None, session_started_at=None, action_count=None)\n--\n\n"
    "The action context passed from Python to the gate: who (principal id, kind and roles)\n"
    "wants to do what (action name, resource, numeric params), in which session, from where.\n"
    "\n"
    "principal_kind is one of \"user\", \"agent\", \"service\", \"scheduler\", \"external\".\n"
    "roles defaults to an empty list. params maps names to numbers (NaN and infinities are\n"
    "stored as null). ip and origin_ip that do not parse as addresses are treated as absent;\n"
    "a session_id that is not a UUID is replaced by a random one. session_started_at is in\n"
    "Unix seconds (None: now); action_count defaults to 0. Each context gets a fresh\n"
    "evaluation id and creation time.";

const char kWithParamDoc[] =
    "with_param($self, key, value)\n--\n\n"
    "Add a string parameter for policy/invariant checks.\n"
    "\n"
    "A value that converts to float (int and bool included) is stored as a number (NaN and\n"
    "infinities as null); otherwise a str is stored as a string; anything else as its str()\n"
    "text. An existing entry of the same key is replaced.";

// Copies a GeoLocation or DeviceFingerprint argument into a native value.
template <ClassObject O>
std::optional<typename O::native_type> copy_of(O* obj) {
    if (obj == nullptr) return std::nullopt;
    return obj->value();
}

PyObject* context_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("ActionContext.__new__", kContextDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;

        std::string principal_id, kind_text, action_name;
        std::vector<std::string> roles;
        std::optional<std::string> resource, ip, session_id, origin_ip;
        std::optional<FloatParams> params;
        std::optional<GeoLocationObject*> current_geo, origin_geo;
        std::optional<DeviceFingerprintObject*> device, origin_device;
        std::optional<std::int64_t> started_at;
        std::optional<std::uint64_t> action_count;
        if (!a.get(0, principal_id) || !a.get(1, kind_text) || !a.get(2, action_name) || !a.get(3, roles) ||
            !a.get(4, resource) || !a.get(5, params) || !a.get(6, ip) || !a.get(7, session_id) ||
            !a.get(8, current_geo) || !a.get(9, origin_geo) || !a.get(10, origin_ip) || !a.get(11, device) ||
            !a.get(12, origin_device) || !a.get(13, started_at) || !a.get(14, action_count))
            return nullptr;

        auto kind = core::parse_principal_kind(kind_text);
        if (!kind) return raise_error(PyExc_ValueError, "unknown principal kind", kind_text);

        core::SessionState session = core::SessionState::create();
        if (started_at) {
            auto ts = ostrel_util::Timestamp::from_unix(*started_at);
            if (!ts) {
                return raise(PyExc_ValueError,
                             "session_started_at: " + std::to_string(*started_at) + " is not a valid unix timestamp");
            }
            session.started_at = *ts;
        }
        if (session_id) {
            if (auto id = ostrel_util::Uuid::parse(*session_id)) session.session_id = *id;
        }
        if (action_count) session.action_count = *action_count;
        if (origin_ip) session.origin_ip = ostrel_util::IpAddr::parse(*origin_ip);
        session.origin_geo = copy_of(origin_geo.value_or(nullptr));
        session.origin_device = copy_of(origin_device.value_or(nullptr));

        core::Principal principal{std::move(principal_id), *kind, std::move(roles)};
        core::ActionDescriptor action(std::move(action_name), std::move(resource));
        if (params) {
            for (auto& [k, v] : params->items) action.set_param(std::move(k), json_number(v));
        }
        core::EnvContext env;
        if (ip) env.ip = ostrel_util::IpAddr::parse(*ip);
        env.current_geo = copy_of(current_geo.value_or(nullptr));
        env.device = copy_of(device.value_or(nullptr));

        return make_instance<ActionContextObject>(
            type, core::ActionContext::create(std::move(principal), std::move(action), std::move(session), std::move(env)));
    });
}

PyObject* context_with_param(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("ActionContext.with_param", kWithParamDoc);
        ActionContextObject* obj = as<ActionContextObject>(self);
        Borrow borrow = Borrow::exclusive(obj->borrow);
        if (!borrow) return nullptr;
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string key;
        if (!a.get(0, key)) return nullptr;

        PyObject* value = a[1];
        nlohmann::json stored;
        double d = PyFloat_AsDouble(value);
        if (!(d == -1.0 && PyErr_Occurred())) {
            stored = json_number(d);
        } else {
            PyErr_Clear();
            if (PyUnicode_Check(value)) {
                std::string s;
                if (!from_py(value, s)) return nullptr;
                stored = std::move(s);
            } else if (PyBool_Check(value)) {
                stored = (value == Py_True);
            } else {
                auto text = str_of(value);
                if (!text) return nullptr;
                stored = std::move(*text);
            }
        }
        obj->value().action.set_param(std::move(key), std::move(stored));
        return none();
    });
}

PyMethodDef g_context_methods[] = {
    {"with_param", as_cfunction(&context_with_param), METH_VARARGS | METH_KEYWORDS, kWithParamDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_action_context(PyObject* module) {
    return register_class<ActionContextObject>(
        module, ClassSpec{.name = "ActionContext",
                          .doc = kContextDoc,
                          .basicsize = static_cast<int>(sizeof(ActionContextObject)),
                          .tp_new = &context_new,
                          .tp_dealloc = &dealloc<ActionContextObject>,
                          .methods = g_context_methods});
}

bool register_geo_location(PyObject* module) {
    return register_class<GeoLocationObject>(
        module, ClassSpec{.name = "GeoLocation",
                          .doc = kGeoDoc,
                          .basicsize = static_cast<int>(sizeof(GeoLocationObject)),
                          .tp_new = &geo_new,
                          .tp_dealloc = &dealloc<GeoLocationObject>,
                          .methods = g_geo_methods,
                          .getset = g_geo_getset,
                          .repr = &geo_repr});
}

bool register_device_fingerprint(PyObject* module) {
    return register_class<DeviceFingerprintObject>(
        module, ClassSpec{.name = "DeviceFingerprint",
                          .doc = kDeviceDoc,
                          .basicsize = static_cast<int>(sizeof(DeviceFingerprintObject)),
                          .tp_new = &device_new,
                          .tp_dealloc = &dealloc<DeviceFingerprintObject>,
                          .getset = g_device_getset,
                          .repr = &device_repr});
}

}  // namespace ostrel_py
