#include "util/json.hpp"

#include <charconv>
#include <cstdio>
#include <string>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "util/time.hpp"
#include "util/uuid.hpp"

namespace ostrel_util {
namespace {

using nlohmann::json;

std::string backticked_list(std::span<const std::string_view> names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) s += ", ";
        s += '`';
        s.append(names[i]);
        s += '`';
    }
    return s;
}

// Thrown from the parse callback to abandon a parse on a repeated key.
struct DuplicateKey {
    std::string key;
};

// Length of the valid UTF-8 sequence starting at s[i], or 0 if invalid.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) noexcept {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (b0 < 0x80) return 1;
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        len = 2;
        cp = b0 & 0x1f;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        len = 3;
        cp = b0 & 0x0f;
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3f);
    }
    if (len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) return 0;
    if (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) return 0;
    return len;
}

std::string field_prefix(std::string_view field) {
    if (field.empty()) return "invalid type: ";
    std::string s = "invalid type for field `";
    s.append(field);
    s += "`: ";
    return s;
}

}  // namespace

// ---- errors ---------------------------------------------------------------

JsonError JsonError::missing_field(std::string_view name) {
    return JsonError{"missing field `" + std::string(name) + "`"};
}

JsonError JsonError::duplicate_field(std::string_view name) {
    return JsonError{"duplicate field `" + std::string(name) + "`"};
}

JsonError JsonError::unknown_field(std::string_view name, std::span<const std::string_view> expected) {
    std::string m = "unknown field `" + std::string(name) + "`, ";
    m += expected.empty() ? "there are no fields" : "expected one of " + backticked_list(expected);
    return JsonError{std::move(m)};
}

JsonError JsonError::unknown_variant(std::string_view name, std::span<const std::string_view> expected) {
    return JsonError{"unknown variant `" + std::string(name) + "`, expected one of " + backticked_list(expected)};
}

JsonError JsonError::invalid_type(std::string_view field, std::string_view expected, const json& found) {
    std::string m = field_prefix(field);
    m += "expected ";
    m.append(expected);
    m += ", found ";
    m += describe_json_value(found);
    return JsonError{std::move(m)};
}

JsonError JsonError::invalid_value(std::string_view field, std::string_view detail) {
    std::string m;
    if (field.empty()) {
        m = "invalid value: ";
    } else {
        m = "invalid value for field `";
        m.append(field);
        m += "`: ";
    }
    m.append(detail);
    return JsonError{std::move(m)};
}

std::string describe_json_value(const json& v) {
    switch (v.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return v.get<bool>() ? "boolean `true`" : "boolean `false`";
        case json::value_t::number_integer:
            return "integer `" + std::to_string(v.get<std::int64_t>()) + "`";
        case json::value_t::number_unsigned:
            return "integer `" + std::to_string(v.get<std::uint64_t>()) + "`";
        case json::value_t::number_float: {
            JsonWriter w;
            w.value(v.get<double>());
            return "floating point `" + w.take() + "`";
        }
        case json::value_t::string: {
            std::string s = "string ";
            append_json_string(s, v.get_ref<const std::string&>());
            return s;
        }
        case json::value_t::array:
            return "array";
        case json::value_t::object:
            return "object";
        case json::value_t::binary:
            return "binary";
        case json::value_t::discarded:
            return "nothing";
    }
    return "value";
}

// ---- parsing --------------------------------------------------------------

std::expected<json, JsonError> parse_json(std::string_view text) {
    std::vector<std::unordered_set<std::string>> open_objects;
    auto callback = [&](int, json::parse_event_t event, json& parsed) -> bool {
        switch (event) {
            case json::parse_event_t::object_start:
                open_objects.emplace_back();
                break;
            case json::parse_event_t::object_end:
                if (!open_objects.empty()) open_objects.pop_back();
                break;
            case json::parse_event_t::key: {
                const auto& k = parsed.get_ref<const std::string&>();
                if (!open_objects.empty() && !open_objects.back().insert(k).second) throw DuplicateKey{k};
                break;
            }
            default:
                break;
        }
        return true;
    };
    try {
        return json::parse(text.begin(), text.end(), callback, /*allow_exceptions=*/true,
                           /*ignore_comments=*/false);
    } catch (const DuplicateKey& d) {
        return std::unexpected(JsonError::duplicate_field(d.key));
    } catch (const json::exception& e) {
        std::string m = e.what();
        // Drop nlohmann's "[json.exception.parse_error.101] " tag.
        if (!m.empty() && m.front() == '[') {
            const auto close = m.find("] ");
            if (close != std::string::npos) m.erase(0, close + 2);
        }
        return std::unexpected(JsonError{std::move(m)});
    }
}

// ---- single values --------------------------------------------------------

std::expected<std::string, JsonError> json_to_string(const json& v, std::string_view field) {
    if (!v.is_string()) return std::unexpected(JsonError::invalid_type(field, "a string", v));
    return v.get<std::string>();
}

std::expected<bool, JsonError> json_to_bool(const json& v, std::string_view field) {
    if (!v.is_boolean()) return std::unexpected(JsonError::invalid_type(field, "a boolean", v));
    return v.get<bool>();
}

std::expected<std::uint64_t, JsonError> json_to_u64(const json& v, std::string_view field) {
    if (v.is_number_unsigned()) return v.get<std::uint64_t>();
    if (v.is_number_integer()) {
        const auto n = v.get<std::int64_t>();
        if (n >= 0) return static_cast<std::uint64_t>(n);
        return std::unexpected(
            JsonError::invalid_value(field, "integer `" + std::to_string(n) + "`, expected a non-negative integer"));
    }
    return std::unexpected(JsonError::invalid_type(field, "an unsigned integer", v));
}

std::expected<std::int64_t, JsonError> json_to_i64(const json& v, std::string_view field) {
    if (v.is_number_unsigned()) {
        const auto n = v.get<std::uint64_t>();
        if (n <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(n);
        return std::unexpected(
            JsonError::invalid_value(field, "integer `" + std::to_string(n) + "`, expected a signed 64-bit integer"));
    }
    if (v.is_number_integer()) return v.get<std::int64_t>();
    return std::unexpected(JsonError::invalid_type(field, "an integer", v));
}

std::expected<std::uint32_t, JsonError> json_to_u32(const json& v, std::string_view field) {
    if (v.is_number_integer() || v.is_number_unsigned()) {
        const bool negative = v.is_number_integer() && !v.is_number_unsigned() && v.get<std::int64_t>() < 0;
        if (!negative && v.get<std::uint64_t>() <= UINT32_MAX) return static_cast<std::uint32_t>(v.get<std::uint64_t>());
        const std::string text = negative ? std::to_string(v.get<std::int64_t>()) : std::to_string(v.get<std::uint64_t>());
        return std::unexpected(
            JsonError::invalid_value(field, "integer `" + text + "`, expected an unsigned 32-bit integer"));
    }
    return std::unexpected(JsonError::invalid_type(field, "an unsigned 32-bit integer", v));
}

std::expected<double, JsonError> json_to_f64(const json& v, std::string_view field) {
    if (v.is_number_float()) return v.get<double>();
    if (v.is_number_unsigned()) return static_cast<double>(v.get<std::uint64_t>());
    if (v.is_number_integer()) return static_cast<double>(v.get<std::int64_t>());
    return std::unexpected(JsonError::invalid_type(field, "a number", v));
}

std::expected<Uuid, JsonError> json_to_uuid(const json& v, std::string_view field) {
    if (!v.is_string()) return std::unexpected(JsonError::invalid_type(field, "a UUID string", v));
    auto u = Uuid::parse(v.get_ref<const std::string&>());
    if (!u) return std::unexpected(JsonError::invalid_value(field, u.error().message));
    return *u;
}

std::expected<Timestamp, JsonError> json_to_timestamp(const json& v, std::string_view field) {
    if (!v.is_string()) return std::unexpected(JsonError::invalid_type(field, "an RFC 3339 date-time string", v));
    auto t = Timestamp::parse_rfc3339(v.get_ref<const std::string&>());
    if (!t) return std::unexpected(JsonError::invalid_value(field, t.error().message));
    return *t;
}

std::expected<std::vector<std::string>, JsonError> json_to_string_array(const json& v, std::string_view field) {
    if (!v.is_array()) return std::unexpected(JsonError::invalid_type(field, "an array of strings", v));
    std::vector<std::string> out;
    out.reserve(v.size());
    for (const auto& e : v) {
        if (!e.is_string()) return std::unexpected(JsonError::invalid_type(field, "an array of strings", e));
        out.push_back(e.get<std::string>());
    }
    return out;
}

std::expected<std::vector<std::uint8_t>, JsonError> json_to_byte_array(const json& v, std::string_view field) {
    if (!v.is_array()) return std::unexpected(JsonError::invalid_type(field, "an array of bytes", v));
    std::vector<std::uint8_t> out;
    out.reserve(v.size());
    for (const auto& e : v) {
        if (!(e.is_number_unsigned() || e.is_number_integer()))
            return std::unexpected(JsonError::invalid_type(field, "an integer 0..255", e));
        const bool negative = !e.is_number_unsigned() && e.get<std::int64_t>() < 0;
        if (negative || e.get<std::uint64_t>() > 255)
            return std::unexpected(JsonError::invalid_value(field, describe_json_value(e) + ", expected an integer 0..255"));
        out.push_back(static_cast<std::uint8_t>(e.get<std::uint64_t>()));
    }
    return out;
}

// ---- ObjectReader ---------------------------------------------------------

std::expected<ObjectReader, JsonError> ObjectReader::open(const json& value, std::string_view what) {
    if (!value.is_object()) return std::unexpected(JsonError::invalid_type({}, what, value));
    return ObjectReader(value);
}

std::expected<void, JsonError> ObjectReader::deny_unknown(std::initializer_list<std::string_view> allowed) const {
    return deny_unknown(std::span<const std::string_view>(allowed.begin(), allowed.size()));
}

std::expected<void, JsonError> ObjectReader::deny_unknown(std::span<const std::string_view> allowed) const {
    for (auto it = object_->begin(); it != object_->end(); ++it) {
        bool known = false;
        for (auto a : allowed)
            if (a == it.key()) {
                known = true;
                break;
            }
        if (!known) return std::unexpected(JsonError::unknown_field(it.key(), allowed));
    }
    return {};
}

const json* ObjectReader::find(std::string_view key) const {
    const auto& obj = object_->get_ref<const json::object_t&>();
    const auto it = obj.find(key);
    return it == obj.end() ? nullptr : &it->second;
}

std::expected<const json*, JsonError> ObjectReader::require(std::string_view key) const {
    const json* v = find(key);
    if (!v) return std::unexpected(JsonError::missing_field(key));
    return v;
}

const json* ObjectReader::find_non_null(std::string_view key) const {
    const json* v = find(key);
    return (v && !v->is_null()) ? v : nullptr;
}

#define OSTREL_REQUIRED(fn, conv)                                                                   \
    auto ObjectReader::fn(std::string_view key) const->std::expected<decltype(conv(json(), key))::value_type, JsonError> { \
        const json* v = find(key);                                                                  \
        if (!v) return std::unexpected(JsonError::missing_field(key));                             \
        return conv(*v, key);                                                                       \
    }

#define OSTREL_OPTIONAL(fn, conv)                                                                   \
    auto ObjectReader::fn(std::string_view key) const                                              \
        ->std::expected<std::optional<decltype(conv(json(), key))::value_type>, JsonError> {       \
        const json* v = find_non_null(key);                                                         \
        if (!v) return std::nullopt;                                                                \
        auto r = conv(*v, key);                                                                     \
        if (!r) return std::unexpected(std::move(r.error()));                                      \
        return std::optional(std::move(*r));                                                        \
    }

OSTREL_REQUIRED(string, json_to_string)
OSTREL_REQUIRED(boolean, json_to_bool)
OSTREL_REQUIRED(u64, json_to_u64)
OSTREL_REQUIRED(i64, json_to_i64)
OSTREL_REQUIRED(u32, json_to_u32)
OSTREL_REQUIRED(f64, json_to_f64)
OSTREL_REQUIRED(uuid, json_to_uuid)
OSTREL_REQUIRED(timestamp, json_to_timestamp)
OSTREL_REQUIRED(string_array, json_to_string_array)
OSTREL_REQUIRED(byte_array, json_to_byte_array)
OSTREL_OPTIONAL(opt_string, json_to_string)
OSTREL_OPTIONAL(opt_boolean, json_to_bool)
OSTREL_OPTIONAL(opt_u64, json_to_u64)
OSTREL_OPTIONAL(opt_u32, json_to_u32)
OSTREL_OPTIONAL(opt_f64, json_to_f64)
OSTREL_OPTIONAL(opt_uuid, json_to_uuid)
OSTREL_OPTIONAL(opt_timestamp, json_to_timestamp)
OSTREL_OPTIONAL(opt_string_array, json_to_string_array)
OSTREL_OPTIONAL(opt_byte_array, json_to_byte_array)

#undef OSTREL_REQUIRED
#undef OSTREL_OPTIONAL

// ---- variants -------------------------------------------------------------

std::expected<JsonVariant, JsonError> read_variant(const json& value, std::span<const std::string_view> names,
                                                   std::string_view what) {
    if (!value.is_object()) return std::unexpected(JsonError::invalid_type({}, what, value));
    if (value.size() != 1) {
        return std::unexpected(JsonError{"invalid value: expected " + std::string(what) +
                                         " written as an object with exactly one key (one of " +
                                         backticked_list(names) + "), found " + std::to_string(value.size()) +
                                         " keys"});
    }
    const auto it = value.begin();
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == it.key()) return JsonVariant{i, &it.value()};
    return std::unexpected(JsonError::unknown_variant(it.key(), names));
}

std::expected<JsonVariant, JsonError> read_variant(const json& value, std::initializer_list<std::string_view> names,
                                                   std::string_view what) {
    return read_variant(value, std::span<const std::string_view>(names.begin(), names.size()), what);
}

// ---- writing --------------------------------------------------------------

void append_json_string(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            // Copy the run of plain ASCII in one go.
            std::size_t j = i + 1;
            while (j < s.size()) {
                const auto d = static_cast<unsigned char>(s[j]);
                if (d < 0x20 || d >= 0x80 || d == '"' || d == '\\') break;
                ++j;
            }
            out.append(s.data() + i, j - i);
            i = j;
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; ++i; continue;
            case '\\': out += "\\\\"; ++i; continue;
            case '\b': out += "\\b"; ++i; continue;
            case '\f': out += "\\f"; ++i; continue;
            case '\n': out += "\\n"; ++i; continue;
            case '\r': out += "\\r"; ++i; continue;
            case '\t': out += "\\t"; ++i; continue;
            default: break;
        }
        if (c < 0x20) {
            out += "\\u00";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xf]);
            ++i;
            continue;
        }
        const std::size_t len = utf8_sequence_length(s, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no valid sequence
            ++i;
        } else {
            out.append(s.data() + i, len);
            i += len;
        }
    }
    out.push_back('"');
}

void JsonWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) out_.push_back(',');
        first_.back() = false;
    }
}

JsonWriter& JsonWriter::begin_object() {
    before_value();
    out_.push_back('{');
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::end_object() {
    out_.push_back('}');
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    before_value();
    out_.push_back('[');
    first_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::end_array() {
    out_.push_back(']');
    first_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view k) {
    before_value();
    append_json_string(out_, k);
    out_.push_back(':');
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::null() {
    before_value();
    out_ += "null";
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view s) {
    before_value();
    append_json_string(out_, s);
    return *this;
}

JsonWriter& JsonWriter::value(bool b) {
    before_value();
    out_ += b ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::value(std::int64_t n) {
    before_value();
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, n);
    out_.append(buf, r.ptr);
    return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t n) {
    before_value();
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, n);
    out_.append(buf, r.ptr);
    return *this;
}

JsonWriter& JsonWriter::value(double d) {
    if (!std::isfinite(d)) return null();
    before_value();
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, d);
    const std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
    out_.append(text);
    if (text.find_first_of(".e") == std::string_view::npos) out_ += ".0";
    return *this;
}

JsonWriter& JsonWriter::value(const Uuid& u) {
    before_value();
    out_.push_back('"');
    u.append_to(out_);
    out_.push_back('"');
    return *this;
}

JsonWriter& JsonWriter::value(const Timestamp& t) {
    before_value();
    out_.push_back('"');
    t.append_rfc3339(out_);
    out_.push_back('"');
    return *this;
}

JsonWriter& JsonWriter::bytes(std::span<const std::uint8_t> b) {
    begin_array();
    for (auto x : b) value(static_cast<std::uint64_t>(x));
    return end_array();
}

JsonWriter& JsonWriter::json(const nlohmann::json& v) {
    switch (v.type()) {
        case nlohmann::json::value_t::null:
        case nlohmann::json::value_t::discarded:
            return null();
        case nlohmann::json::value_t::boolean:
            return value(v.get<bool>());
        case nlohmann::json::value_t::number_integer:
            return value(v.get<std::int64_t>());
        case nlohmann::json::value_t::number_unsigned:
            return value(v.get<std::uint64_t>());
        case nlohmann::json::value_t::number_float:
            return value(v.get<double>());
        case nlohmann::json::value_t::string:
            return value(std::string_view(v.get_ref<const std::string&>()));
        case nlohmann::json::value_t::array:
            begin_array();
            for (const auto& e : v) json(e);
            return end_array();
        case nlohmann::json::value_t::object:
            begin_object();
            for (auto it = v.begin(); it != v.end(); ++it) {
                key(it.key());
                json(it.value());
            }
            return end_object();
        case nlohmann::json::value_t::binary: {
            const auto& b = v.get_binary();
            return bytes(std::span<const std::uint8_t>(b.data(), b.size()));
        }
    }
    return null();
}

JsonWriter& JsonWriter::raw(std::string_view json_text) {
    before_value();
    out_.append(json_text);
    return *this;
}

std::string to_compact_json(const nlohmann::json& v) {
    JsonWriter w;
    w.json(v);
    return w.take();
}

}  // namespace ostrel_util
