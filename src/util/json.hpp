// Strict JSON reading and compact JSON writing.
//
// Reading. `parse_json` parses text with nlohmann-json and, unlike its
// default, rejects an object that names a key twice ("duplicate field `x`"),
// at any depth. `ObjectReader` then reads one record's fields and reports
// problems by name, with these exact message forms:
//
//   missing field `x`
//   unknown field `x`, expected one of `a`, `b`
//   duplicate field `x`
//   unknown variant `x`, expected one of `a`, `b`
//   invalid type for field `x`: expected <what>, found <kind>
//
// Records that ignore unknown keys simply never call `deny_unknown`.
//
// Writing. `JsonWriter` builds compact JSON (no whitespace) with object keys
// in the order the caller writes them. Strings escape the quotation mark, the
// backslash and control characters below U+0020 (\b \f \n \r \t, else
// \u00XX with lower-case hex); everything else, the solidus and non-ASCII
// included, is written as itself. Invalid UTF-8 in a string is replaced by
// U+FFFD so the output is always valid JSON. Non-finite numbers are null.
#pragma once

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace ostrel_util {

class Uuid;
class Timestamp;

// A JSON reader's message.
struct JsonError {
    std::string message;
    const std::string& display() const noexcept { return message; }
    bool operator==(const JsonError&) const = default;

    static JsonError missing_field(std::string_view name);
    static JsonError duplicate_field(std::string_view name);
    // `expected` lists the accepted names, in order.
    static JsonError unknown_field(std::string_view name, std::span<const std::string_view> expected);
    static JsonError unknown_variant(std::string_view name, std::span<const std::string_view> expected);
    // `field` may be empty for a value that is not a field of a record.
    static JsonError invalid_type(std::string_view field, std::string_view expected,
                                  const nlohmann::json& found);
    static JsonError invalid_value(std::string_view field, std::string_view detail);
};

// "null", "boolean `true`", "integer `5`", "floating point `1.5`",
// "string \"abc\"", "array", "object": how type errors describe a value.
std::string describe_json_value(const nlohmann::json& value);

// Parses JSON text; rejects duplicate keys in any object. Syntax errors carry
// nlohmann's description with line and column.
std::expected<nlohmann::json, JsonError> parse_json(std::string_view text);

// Reads the fields of one JSON object. Holds a reference to the object: the
// value must outlive the reader.
class ObjectReader {
public:
    // Fails with an invalid-type error naming `what` (e.g. "an object
    // SessionState") when `value` is not an object.
    static std::expected<ObjectReader, JsonError> open(const nlohmann::json& value,
                                                       std::string_view what = "an object");

    // Fails on the first key (in the object's iteration order) not in `allowed`.
    std::expected<void, JsonError> deny_unknown(std::initializer_list<std::string_view> allowed) const;
    std::expected<void, JsonError> deny_unknown(std::span<const std::string_view> allowed) const;

    // The member, or nullptr when absent.
    const nlohmann::json* find(std::string_view key) const;
    // The member, or "missing field".
    std::expected<const nlohmann::json*, JsonError> require(std::string_view key) const;
    // The member when present and not null, else nullptr.
    const nlohmann::json* find_non_null(std::string_view key) const;

    // Required members of a given type ("missing field" when absent,
    // "invalid type" when of another type, including null).
    std::expected<std::string, JsonError> string(std::string_view key) const;
    std::expected<bool, JsonError> boolean(std::string_view key) const;
    std::expected<std::uint64_t, JsonError> u64(std::string_view key) const;
    std::expected<std::int64_t, JsonError> i64(std::string_view key) const;
    std::expected<std::uint32_t, JsonError> u32(std::string_view key) const;
    // Any JSON number (integers converted to the nearest double).
    std::expected<double, JsonError> f64(std::string_view key) const;
    std::expected<Uuid, JsonError> uuid(std::string_view key) const;
    std::expected<Timestamp, JsonError> timestamp(std::string_view key) const;
    std::expected<std::vector<std::string>, JsonError> string_array(std::string_view key) const;
    // An array of integers 0..255.
    std::expected<std::vector<std::uint8_t>, JsonError> byte_array(std::string_view key) const;

    // Optional members: absent or null reads as std::nullopt.
    std::expected<std::optional<std::string>, JsonError> opt_string(std::string_view key) const;
    std::expected<std::optional<bool>, JsonError> opt_boolean(std::string_view key) const;
    std::expected<std::optional<std::uint64_t>, JsonError> opt_u64(std::string_view key) const;
    std::expected<std::optional<std::uint32_t>, JsonError> opt_u32(std::string_view key) const;
    std::expected<std::optional<double>, JsonError> opt_f64(std::string_view key) const;
    std::expected<std::optional<Uuid>, JsonError> opt_uuid(std::string_view key) const;
    std::expected<std::optional<Timestamp>, JsonError> opt_timestamp(std::string_view key) const;
    std::expected<std::optional<std::vector<std::string>>, JsonError> opt_string_array(std::string_view key) const;
    std::expected<std::optional<std::vector<std::uint8_t>>, JsonError> opt_byte_array(std::string_view key) const;

    const nlohmann::json& value() const noexcept { return *object_; }

private:
    explicit ObjectReader(const nlohmann::json& object) : object_(&object) {}
    const nlohmann::json* object_;
};

// Conversions of single values; `field` names the value in error messages
// (may be empty).
std::expected<std::string, JsonError> json_to_string(const nlohmann::json& v, std::string_view field = {});
std::expected<bool, JsonError> json_to_bool(const nlohmann::json& v, std::string_view field = {});
std::expected<std::uint64_t, JsonError> json_to_u64(const nlohmann::json& v, std::string_view field = {});
std::expected<std::int64_t, JsonError> json_to_i64(const nlohmann::json& v, std::string_view field = {});
std::expected<std::uint32_t, JsonError> json_to_u32(const nlohmann::json& v, std::string_view field = {});
std::expected<double, JsonError> json_to_f64(const nlohmann::json& v, std::string_view field = {});
std::expected<Uuid, JsonError> json_to_uuid(const nlohmann::json& v, std::string_view field = {});
std::expected<Timestamp, JsonError> json_to_timestamp(const nlohmann::json& v, std::string_view field = {});
std::expected<std::vector<std::string>, JsonError> json_to_string_array(const nlohmann::json& v,
                                                                       std::string_view field = {});
std::expected<std::vector<std::uint8_t>, JsonError> json_to_byte_array(const nlohmann::json& v,
                                                                      std::string_view field = {});

// An externally tagged variant: an object with exactly one key, which must
// be one of `names`. Yields the index of the name and the payload.
struct JsonVariant {
    std::size_t index;
    const nlohmann::json* payload;
};
// `what` describes the value for type errors (e.g. "an InvalidationTarget").
std::expected<JsonVariant, JsonError> read_variant(const nlohmann::json& value,
                                                   std::span<const std::string_view> names,
                                                   std::string_view what);
std::expected<JsonVariant, JsonError> read_variant(const nlohmann::json& value,
                                                   std::initializer_list<std::string_view> names,
                                                   std::string_view what);

// Appends `s` as a JSON string (quotes included) with the escaping above.
void append_json_string(std::string& out, std::string_view s);

// Compact JSON writer. Callers write keys in their record's declaration
// order; the writer inserts commas and colons. Misuse (a value where a key
// is due) is a programming error and is not diagnosed.
class JsonWriter {
public:
    JsonWriter() = default;
    explicit JsonWriter(std::size_t reserve) { out_.reserve(reserve); }

    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    JsonWriter& key(std::string_view k);

    JsonWriter& null();
    JsonWriter& value(std::string_view s);
    JsonWriter& value(const char* s) { return value(std::string_view(s)); }
    JsonWriter& value(const std::string& s) { return value(std::string_view(s)); }
    JsonWriter& value(bool b);
    JsonWriter& value(std::int64_t n);
    JsonWriter& value(std::uint64_t n);
    JsonWriter& value(int n) { return value(static_cast<std::int64_t>(n)); }
    JsonWriter& value(unsigned n) { return value(static_cast<std::uint64_t>(n)); }
    // Shortest text that reads back as the same double; integral values get
    // ".0"; NaN and infinities are written as null.
    JsonWriter& value(double d);
    JsonWriter& value(const Uuid& u);
    // RFC 3339 UTC text with "Z" and the fraction rule.
    JsonWriter& value(const Timestamp& t);
    // An array of integers 0..255.
    JsonWriter& bytes(std::span<const std::uint8_t> b);
    // Any JSON value, compactly, objects in nlohmann's key order.
    JsonWriter& json(const nlohmann::json& v);
    // Pre-rendered JSON text, inserted verbatim.
    JsonWriter& raw(std::string_view json_text);

    template <class T>
    JsonWriter& opt(const std::optional<T>& v) {
        if (v) return value(*v);
        return null();
    }
    template <class T>
    JsonWriter& field(std::string_view k, const T& v) {
        key(k);
        return value(v);
    }
    template <class T>
    JsonWriter& opt_field(std::string_view k, const std::optional<T>& v) {
        key(k);
        return opt(v);
    }

    const std::string& str() const noexcept { return out_; }
    std::string take() noexcept { return std::move(out_); }

private:
    void before_value();
    std::string out_;
    // One entry per open container: true until its first element is written.
    std::vector<bool> first_;
    bool after_key_ = false;
};

// Writes any JSON value compactly with the writer's rules.
std::string to_compact_json(const nlohmann::json& v);

}  // namespace ostrel_util
