#include "core/policy_document.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include <nlohmann/json.hpp>
#include <toml++/toml.h>

#include "core/policy_text.hpp"

namespace ostrel_core {

std::string_view effect_text(Effect effect) noexcept {
  return effect == Effect::Permit ? "permit" : "refuse";
}

namespace {

constexpr std::string_view kConditionKeys[] = {
    "identity_role", "identity_kind",   "identity_id", "action",   "param_max",  "param_min",
    "param_in",      "rate_limit",      "session_age_max", "resource", "time_window"};
static_assert(std::size(kConditionKeys) == std::variant_size_v<Condition>);

constexpr std::string_view kPolicyFields[] = {"name", "effect", "conditions", "description",
                                              "priority"};
constexpr std::string_view kEffectWords[] = {"permit", "refuse"};
constexpr std::string_view kKindWords[] = {"user", "agent", "service", "scheduler", "external"};
constexpr std::string_view kTopLevelFields[] = {"policy", "policies"};

}  // namespace

std::string_view condition_key(const Condition& condition) noexcept {
  return kConditionKeys[condition.index()];
}

// ---------------------------------------------------------------------------
// Durations

std::optional<std::uint64_t> parse_duration_secs(std::string_view text) noexcept {
  const std::string_view t = policy_text::trim(text);
  if (t.empty()) return std::nullopt;
  std::uint64_t factor = 1;
  std::string_view number = t;
  switch (t.back()) {
    case 'd': factor = 86400; number.remove_suffix(1); break;
    case 'h': factor = 3600; number.remove_suffix(1); break;
    case 'm': factor = 60; number.remove_suffix(1); break;
    case 's': factor = 1; number.remove_suffix(1); break;
    default: break;
  }
  if (!number.empty() && number.front() == '+') number.remove_prefix(1);
  if (number.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : number) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  // The number itself must fit in 64 bits; the product saturates so that a
  // very long duration stays very long instead of wrapping to a short one.
  if (factor != 1 && value > std::numeric_limits<std::uint64_t>::max() / factor) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return value * factor;
}

// ---------------------------------------------------------------------------
// A neutral document tree. TOML and JSON are both converted into it, keeping
// document order, source positions (TOML) and repeated keys (JSON text), so
// that one schema reader enforces the same rules with the same messages for
// every carrier.

namespace {

struct Position {
  std::uint32_t line = 0;  // 0: unknown
  std::uint32_t column = 0;
};

struct DocEntry;

struct DocNode {
  enum class Kind : std::uint8_t { Table, Array, String, Integer, Float, Bool, Null, Date, Time, DateTime };
  Kind kind = Kind::Null;
  Position pos;
  std::string text;            // String
  bool negative = false;       // Integer: sign and magnitude cover i64 and u64
  std::uint64_t magnitude = 0;
  double number = 0.0;         // Float
  bool boolean = false;        // Bool
  bool toml = false;           // from a TOML document (tables are called tables in messages)
  std::vector<DocEntry> entries;  // Table, document order
  std::vector<DocNode> items;     // Array
};

struct DocEntry {
  std::string key;
  Position pos;
  DocNode value;
};

// Schema violations travel as this exception inside this file only; every
// public entry point catches it and returns an error value.
struct SchemaError {
  std::string message;
};

std::string with_position(std::string message, Position pos) {
  if (pos.line != 0) {
    message += " at line ";
    message += std::to_string(pos.line);
    message += " column ";
    message += std::to_string(pos.column);
  }
  return message;
}

[[noreturn]] void fail(std::string message, Position pos) {
  throw SchemaError{with_position(std::move(message), pos)};
}

// "expected one of `a`, `b`": the same wording as the project's JSON reader.
std::string quoted_list(std::span<const std::string_view> names) {
  if (names.empty()) return "there are no fields";
  std::string out = "expected one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) out += ", ";
    out += '`';
    out += names[i];
    out += '`';
  }
  return out;
}

std::string json_quote(std::string_view s) {
  return nlohmann::json(std::string(s)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string format_double(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  return nlohmann::json(d).dump();
}

std::string describe(const DocNode& n) {
  switch (n.kind) {
    case DocNode::Kind::Table: return n.toml ? "table" : "object";
    case DocNode::Kind::Array: return "array";
    case DocNode::Kind::String: return "string " + json_quote(n.text);
    case DocNode::Kind::Integer:
      return std::string("integer `") + (n.negative ? "-" : "") + std::to_string(n.magnitude) + "`";
    case DocNode::Kind::Float: return "floating point `" + format_double(n.number) + "`";
    case DocNode::Kind::Bool: return std::string("boolean `") + (n.boolean ? "true" : "false") + "`";
    case DocNode::Kind::Null: return "null";
    case DocNode::Kind::Date: return "date";
    case DocNode::Kind::Time: return "time";
    case DocNode::Kind::DateTime: return "date-time";
  }
  return "value";
}

// "invalid type for field `x`: expected <what>, found <kind>"; without a
// field name (the document itself): "invalid type: expected ..., found ...".
[[noreturn]] void invalid_type(std::string_view field, const DocNode& n, std::string_view expected) {
  std::string m = "invalid type";
  if (!field.empty()) {
    m += " for field `";
    m += field;
    m += '`';
  }
  m += ": expected ";
  m += expected;
  m += ", found ";
  m += describe(n);
  fail(std::move(m), n.pos);
}

[[noreturn]] void invalid_value(std::string_view field, const DocNode& n, std::string_view expected) {
  std::string m = "invalid value for field `";
  m += field;
  m += "`: expected ";
  m += expected;
  m += ", found ";
  m += describe(n);
  fail(std::move(m), n.pos);
}

// ---------------------------------------------------------------------------
// Schema reader

std::string read_string(std::string_view field, const DocNode& n) {
  if (n.kind != DocNode::Kind::String) invalid_type(field, n, "a string");
  return n.text;
}

double read_number(std::string_view field, const DocNode& n) {
  if (n.kind == DocNode::Kind::Float) return n.number;
  if (n.kind == DocNode::Kind::Integer) {
    const double m = static_cast<double>(n.magnitude);
    return n.negative ? -m : m;
  }
  invalid_type(field, n, "a number");
}

std::uint32_t read_u32(std::string_view field, const DocNode& n) {
  if (n.kind != DocNode::Kind::Integer) invalid_type(field, n, "u32");
  if (n.negative || n.magnitude > std::numeric_limits<std::uint32_t>::max()) {
    invalid_value(field, n, "an integer from 0 to 4294967295");
  }
  return static_cast<std::uint32_t>(n.magnitude);
}

std::vector<std::string> read_string_list(std::string_view field, const DocNode& n) {
  if (n.kind != DocNode::Kind::Array) invalid_type(field, n, "an array of strings");
  std::vector<std::string> out;
  out.reserve(n.items.size());
  for (const DocNode& item : n.items) out.push_back(read_string(field, item));
  return out;
}

// Finds the index of a variant word; reports unknown variants by name.
std::size_t read_variant(std::string_view field, const DocNode& n,
                         std::span<const std::string_view> words) {
  if (n.kind != DocNode::Kind::String) invalid_type(field, n, "a string");
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (n.text == words[i]) return i;
  }
  fail("unknown variant `" + n.text + "`, " + quoted_list(words), n.pos);
}

// Walks a table's entries in document order: an unknown key or a repeated key
// fails at once; each known key's value is read when it is met. Missing keys
// are checked after the walk, in declaration order.
template <class OnField>
void read_record(std::string_view field, const DocNode& table, std::span<const std::string_view> fields,
                 std::span<const std::size_t> required, OnField&& on_field) {
  if (table.kind != DocNode::Kind::Table) invalid_type(field, table, table.toml ? "a table" : "an object");
  bool seen[8] = {};
  for (const DocEntry& e : table.entries) {
    std::size_t idx = fields.size();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (e.key == fields[i]) {
        idx = i;
        break;
      }
    }
    if (idx == fields.size()) fail("unknown field `" + e.key + "`, " + quoted_list(fields), e.pos);
    if (seen[idx]) fail("duplicate field `" + e.key + "`", e.pos);
    seen[idx] = true;
    on_field(idx, e.value);
  }
  for (const std::size_t i : required) {
    if (!seen[i]) fail("missing field `" + std::string(fields[i]) + "`", table.pos);
  }
}

constexpr std::size_t kBothRequired[] = {0, 1};

Condition read_condition(const DocNode& n) {
  if (n.kind != DocNode::Kind::Table) {
    invalid_type("conditions", n, n.toml ? "a table with one key" : "an object with one key");
  }
  if (n.entries.size() != 1) {
    std::string m = "invalid condition: expected exactly one key naming the condition kind, found ";
    if (n.entries.empty()) {
      m += "none";
    } else {
      m += std::to_string(n.entries.size()) + " keys (";
      for (std::size_t i = 0; i < n.entries.size(); ++i) {
        if (i != 0) m += ", ";
        m += '`' + n.entries[i].key + '`';
      }
      m += ')';
    }
    fail(std::move(m), n.pos);
  }
  const DocEntry& e = n.entries.front();
  std::size_t kind = std::size(kConditionKeys);
  for (std::size_t i = 0; i < std::size(kConditionKeys); ++i) {
    if (e.key == kConditionKeys[i]) {
      kind = i;
      break;
    }
  }
  if (kind == std::size(kConditionKeys)) {
    fail("unknown variant `" + e.key + "`, " + quoted_list(kConditionKeys), e.pos);
  }
  const DocNode& v = e.value;
  const std::string_view key = kConditionKeys[kind];
  switch (kind) {
    case 0: return IdentityRoleCondition{read_string(key, v)};
    case 1: return IdentityKindCondition{static_cast<PrincipalKind>(read_variant(key, v, kKindWords))};
    case 2: return IdentityIdCondition{read_string(key, v)};
    case 3: return ActionCondition{read_string(key, v)};
    case 4: {
      static constexpr std::string_view fields[] = {"field", "max"};
      ParamMaxCondition c;
      read_record(key, v, fields, kBothRequired, [&](std::size_t idx, const DocNode& f) {
        if (idx == 0) c.field = read_string(fields[0], f);
        else c.max = read_number(fields[1], f);
      });
      return c;
    }
    case 5: {
      static constexpr std::string_view fields[] = {"field", "min"};
      ParamMinCondition c;
      read_record(key, v, fields, kBothRequired, [&](std::size_t idx, const DocNode& f) {
        if (idx == 0) c.field = read_string(fields[0], f);
        else c.min = read_number(fields[1], f);
      });
      return c;
    }
    case 6: {
      static constexpr std::string_view fields[] = {"field", "values"};
      ParamInCondition c;
      read_record(key, v, fields, kBothRequired, [&](std::size_t idx, const DocNode& f) {
        if (idx == 0) c.field = read_string(fields[0], f);
        else c.values = read_string_list(fields[1], f);
      });
      return c;
    }
    case 7: {
      static constexpr std::string_view fields[] = {"max", "window"};
      RateLimitCondition c;
      read_record(key, v, fields, kBothRequired, [&](std::size_t idx, const DocNode& f) {
        if (idx == 0) c.max = read_u32(fields[0], f);
        else c.window = read_string(fields[1], f);
      });
      return c;
    }
    case 8: return SessionAgeMaxCondition{read_string(key, v)};
    case 9: return ResourceCondition{read_string(key, v)};
    default: return TimeWindowCondition{read_string(key, v)};
  }
}

constexpr std::size_t kPolicyRequired[] = {0, 1, 2};

Policy read_policy(std::string_view list_field, const DocNode& n) {
  Policy p;
  read_record(list_field, n, kPolicyFields, kPolicyRequired, [&](std::size_t idx, const DocNode& v) {
    const std::string_view field = kPolicyFields[idx];
    switch (idx) {
      case 0: p.name = read_string(field, v); break;
      case 1: p.effect = static_cast<Effect>(read_variant(field, v, kEffectWords)); break;
      case 2:
        if (v.kind != DocNode::Kind::Array) invalid_type(field, v, "an array of conditions");
        p.conditions.reserve(v.items.size());
        for (const DocNode& c : v.items) p.conditions.push_back(read_condition(c));
        break;
      case 3:
        // An explicit null (a Python None) means no description, like an absent key.
        if (v.kind == DocNode::Kind::Null) p.description.reset();
        else p.description = read_string(field, v);
        break;
      default: p.priority = read_u32(field, v); break;
    }
  });
  return p;
}

PolicySet read_document(const DocNode& root) {
  PolicySet set;
  if (root.kind != DocNode::Kind::Table) invalid_type({}, root, "a policy document object");
  // "policy" and "policies" name the same list; giving both is a repeated field.
  bool have_list = false;
  for (const DocEntry& e : root.entries) {
    if (e.key != kTopLevelFields[0] && e.key != kTopLevelFields[1]) {
      fail("unknown field `" + e.key + "`, " + quoted_list(kTopLevelFields), e.pos);
    }
    if (have_list) fail("duplicate field `" + e.key + "`", e.pos);
    have_list = true;
    if (e.value.kind != DocNode::Kind::Array) invalid_type(e.key, e.value, "an array of policies");
    set.policies.reserve(e.value.items.size());
    for (const DocNode& item : e.value.items) set.policies.push_back(read_policy(e.key, item));
  }
  return set;
}

// ---------------------------------------------------------------------------
// TOML -> DocNode

Position toml_pos(const toml::source_region& r) {
  return Position{static_cast<std::uint32_t>(r.begin.line), static_cast<std::uint32_t>(r.begin.column)};
}

DocNode from_toml_node(const toml::node& node) {
  DocNode out;
  out.toml = true;
  out.pos = toml_pos(node.source());
  switch (node.type()) {
    case toml::node_type::table: {
      out.kind = DocNode::Kind::Table;
      const auto& t = *node.as_table();
      out.entries.reserve(t.size());
      for (auto&& [k, v] : t) {
        out.entries.push_back(DocEntry{std::string(k.str()), toml_pos(k.source()), from_toml_node(v)});
      }
      // toml++ keeps keys sorted by name; restore document order for messages.
      std::stable_sort(out.entries.begin(), out.entries.end(), [](const DocEntry& a, const DocEntry& b) {
        return std::pair(a.pos.line, a.pos.column) < std::pair(b.pos.line, b.pos.column);
      });
      break;
    }
    case toml::node_type::array: {
      out.kind = DocNode::Kind::Array;
      const auto& a = *node.as_array();
      out.items.reserve(a.size());
      for (const toml::node& item : a) out.items.push_back(from_toml_node(item));
      break;
    }
    case toml::node_type::string:
      out.kind = DocNode::Kind::String;
      out.text = node.as_string()->get();
      break;
    case toml::node_type::integer: {
      out.kind = DocNode::Kind::Integer;
      const std::int64_t i = node.as_integer()->get();
      out.negative = i < 0;
      out.magnitude = i < 0 ? static_cast<std::uint64_t>(-(i + 1)) + 1 : static_cast<std::uint64_t>(i);
      break;
    }
    case toml::node_type::floating_point:
      out.kind = DocNode::Kind::Float;
      out.number = node.as_floating_point()->get();
      break;
    case toml::node_type::boolean:
      out.kind = DocNode::Kind::Bool;
      out.boolean = node.as_boolean()->get();
      break;
    case toml::node_type::date: out.kind = DocNode::Kind::Date; break;
    case toml::node_type::time: out.kind = DocNode::Kind::Time; break;
    default: out.kind = DocNode::Kind::DateTime; break;
  }
  return out;
}

// toml++ rejects a repeated key itself, as "cannot redefine existing <type>
// '<key>'". Report it in the reader's own words for repeated fields, so that
// every carrier says "duplicate field `x`".
std::string toml_syntax_message(const toml::parse_error& e) {
  const std::string_view d = e.description();
  constexpr std::string_view marker = "cannot redefine existing ";
  std::string message;
  if (const auto at = d.find(marker); at != std::string_view::npos && d.ends_with('\'')) {
    const std::string_view rest = d.substr(at + marker.size());
    const auto open = rest.find('\'');
    if (open != std::string_view::npos && open + 1 < rest.size()) {
      message = "duplicate field `";
      message += rest.substr(open + 1, rest.size() - open - 2);
      message += '`';
    }
  }
  if (message.empty()) message = std::string(d);
  return with_position(std::move(message), toml_pos(e.source()));
}

// ---------------------------------------------------------------------------
// JSON -> DocNode

constexpr std::size_t kMaxJsonDepth = 128;

DocNode from_json_node(const nlohmann::json& j, std::size_t depth) {
  if (depth > kMaxJsonDepth) throw SchemaError{"recursion limit exceeded"};
  DocNode out;
  switch (j.type()) {
    case nlohmann::json::value_t::object:
      out.kind = DocNode::Kind::Table;
      out.entries.reserve(j.size());
      for (auto it = j.begin(); it != j.end(); ++it) {
        out.entries.push_back(DocEntry{it.key(), {}, from_json_node(it.value(), depth + 1)});
      }
      break;
    case nlohmann::json::value_t::array:
      out.kind = DocNode::Kind::Array;
      out.items.reserve(j.size());
      for (const auto& item : j) out.items.push_back(from_json_node(item, depth + 1));
      break;
    case nlohmann::json::value_t::string:
      out.kind = DocNode::Kind::String;
      out.text = j.get_ref<const std::string&>();
      break;
    case nlohmann::json::value_t::number_unsigned:
      out.kind = DocNode::Kind::Integer;
      out.magnitude = j.get<std::uint64_t>();
      break;
    case nlohmann::json::value_t::number_integer: {
      out.kind = DocNode::Kind::Integer;
      const auto i = j.get<std::int64_t>();
      out.negative = i < 0;
      out.magnitude = i < 0 ? static_cast<std::uint64_t>(-(i + 1)) + 1 : static_cast<std::uint64_t>(i);
      break;
    }
    case nlohmann::json::value_t::number_float:
      out.kind = DocNode::Kind::Float;
      out.number = j.get<double>();
      break;
    case nlohmann::json::value_t::boolean:
      out.kind = DocNode::Kind::Bool;
      out.boolean = j.get<bool>();
      break;
    default:  // null, discarded, binary
      out.kind = DocNode::Kind::Null;
      break;
  }
  return out;
}

// Builds the neutral tree straight from JSON text, keeping document order and
// repeated keys (which the schema reader then rejects by name).
class JsonTreeBuilder final : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool null() override { return put(DocNode{}); }
  bool boolean(bool v) override {
    DocNode n;
    n.kind = DocNode::Kind::Bool;
    n.boolean = v;
    return put(std::move(n));
  }
  bool number_integer(number_integer_t v) override {
    DocNode n;
    n.kind = DocNode::Kind::Integer;
    n.negative = v < 0;
    n.magnitude = v < 0 ? static_cast<std::uint64_t>(-(v + 1)) + 1 : static_cast<std::uint64_t>(v);
    return put(std::move(n));
  }
  bool number_unsigned(number_unsigned_t v) override {
    DocNode n;
    n.kind = DocNode::Kind::Integer;
    n.magnitude = v;
    return put(std::move(n));
  }
  bool number_float(number_float_t v, const string_t&) override {
    DocNode n;
    n.kind = DocNode::Kind::Float;
    n.number = v;
    return put(std::move(n));
  }
  bool string(string_t& v) override {
    DocNode n;
    n.kind = DocNode::Kind::String;
    n.text = std::move(v);
    return put(std::move(n));
  }
  bool binary(binary_t&) override { return put(DocNode{}); }
  bool start_object(std::size_t) override {
    DocNode n;
    n.kind = DocNode::Kind::Table;
    return open(std::move(n));
  }
  bool key(string_t& k) override {
    pending_key_ = std::move(k);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override {
    DocNode n;
    n.kind = DocNode::Kind::Array;
    return open(std::move(n));
  }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..." -> drop the tag.
    std::string_view what = ex.what();
    if (what.starts_with('[')) {
      if (const auto close = what.find("] "); close != std::string_view::npos) what.remove_prefix(close + 2);
    }
    error_ = std::string(what);
    return false;
  }

  std::optional<DocNode> take_root() { return std::move(root_); }
  const std::string& error() const { return error_; }

 private:
  bool put(DocNode n) {
    if (stack_.empty()) {
      root_ = std::move(n);
      return true;
    }
    DocNode& parent = *stack_.back();
    if (parent.kind == DocNode::Kind::Table) {
      parent.entries.push_back(DocEntry{std::move(pending_key_), {}, std::move(n)});
      pending_key_.clear();
    } else {
      parent.items.push_back(std::move(n));
    }
    return true;
  }
  bool open(DocNode n) {
    if (stack_.size() >= kMaxJsonDepth) {
      error_ = "recursion limit exceeded";
      return false;
    }
    // Insert first, then descend into the inserted node.
    if (stack_.empty()) {
      root_ = std::move(n);
      stack_.push_back(&*root_);
      return true;
    }
    DocNode& parent = *stack_.back();
    if (parent.kind == DocNode::Kind::Table) {
      parent.entries.push_back(DocEntry{std::move(pending_key_), {}, std::move(n)});
      pending_key_.clear();
      stack_.push_back(&parent.entries.back().value);
    } else {
      parent.items.push_back(std::move(n));
      stack_.push_back(&parent.items.back());
    }
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }

  std::optional<DocNode> root_;
  // Pointers into the tree: safe because a node's children vector only grows
  // while that node is the innermost open container.
  std::vector<DocNode*> stack_;
  std::string pending_key_;
  std::string error_;
};

std::expected<PolicySet, PolicyError> parse_error(std::string message) {
  return std::unexpected(PolicyError::parse(std::move(message)));
}

std::expected<std::string, std::string> read_whole_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(std::string(std::strerror(errno)));
  std::string text;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return std::unexpected(std::string(std::strerror(err)));
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public entry points

std::expected<PolicySet, PolicyError> PolicySet::from_toml(std::string_view text) {
  try {
    const toml::table table = toml::parse(text);
    return read_document(from_toml_node(table));
  } catch (const toml::parse_error& e) {
    return parse_error(toml_syntax_message(e));
  } catch (const SchemaError& e) {
    return parse_error(e.message);
  } catch (const std::bad_alloc&) {
    return parse_error("out of memory");
  }
}

std::expected<PolicySet, PolicyError> PolicySet::from_json(std::string_view text) {
  try {
    JsonTreeBuilder builder;
    if (!nlohmann::json::sax_parse(text.begin(), text.end(), &builder)) {
      return parse_error(builder.error().empty() ? std::string("invalid JSON") : builder.error());
    }
    auto root = builder.take_root();
    if (!root) return parse_error("invalid JSON");
    return read_document(*root);
  } catch (const SchemaError& e) {
    return parse_error(e.message);
  } catch (const std::bad_alloc&) {
    return parse_error("out of memory");
  }
}

std::expected<PolicySet, PolicyError> PolicySet::from_json_value(const nlohmann::json& value) {
  try {
    return read_document(from_json_node(value, 0));
  } catch (const SchemaError& e) {
    return parse_error(e.message);
  } catch (const std::bad_alloc&) {
    return parse_error("out of memory");
  }
}

std::string PolicyFileError::display() const {
  if (kind == Kind::Read) return "cannot read " + format + " policy file '" + path + "': " + detail;
  return detail;
}

namespace {
template <class Parse>
std::expected<PolicySet, PolicyFileError> from_file(const std::filesystem::path& path, std::string format,
                                                    Parse parse) {
  auto text = read_whole_file(path);
  if (!text) {
    return std::unexpected(
        PolicyFileError{PolicyFileError::Kind::Read, path.string(), std::move(text.error()), std::move(format)});
  }
  auto set = parse(*text);
  if (!set) {
    return std::unexpected(
        PolicyFileError{PolicyFileError::Kind::Parse, path.string(), set.error().detail(), std::move(format)});
  }
  return std::move(*set);
}
}  // namespace

std::expected<PolicySet, PolicyFileError> PolicySet::from_toml_file(const std::filesystem::path& path) {
  return from_file(path, "TOML", [](std::string_view t) { return PolicySet::from_toml(t); });
}

std::expected<PolicySet, PolicyFileError> PolicySet::from_json_file(const std::filesystem::path& path) {
  return from_file(path, "JSON", [](std::string_view t) { return PolicySet::from_json(t); });
}

}  // namespace ostrel_core
