#pragma once
// Policy documents: the declarative rules of the gate and their carriers.
//
// A `PolicySet` is read from a TOML document, a JSON document or a generic
// JSON value (what the Python layer builds from a dict). Reading is strict:
// unknown keys are rejected at every level, required keys are enforced,
// repeated keys are rejected, and any error rejects the whole document; a
// partial set is never returned.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/context.hpp"
#include "core/error.hpp"

namespace ostrel_core {

enum class Effect : std::uint8_t { Permit, Refuse };

// "permit" / "refuse".
std::string_view effect_text(Effect effect) noexcept;

// The eleven condition kinds. Each holds its payload exactly as written in
// the document; interpretation (pattern matching, durations, time windows)
// belongs to the engine, which pre-compiles it once per set.
struct IdentityRoleCondition {
  std::string role;
  bool operator==(const IdentityRoleCondition&) const = default;
};
struct IdentityKindCondition {
  PrincipalKind kind;
  bool operator==(const IdentityKindCondition&) const = default;
};
struct IdentityIdCondition {
  std::string id;
  bool operator==(const IdentityIdCondition&) const = default;
};
struct ActionCondition {
  std::string pattern;
  bool operator==(const ActionCondition&) const = default;
};
struct ParamMaxCondition {
  std::string field;
  double max = 0.0;
  bool operator==(const ParamMaxCondition&) const = default;
};
struct ParamMinCondition {
  std::string field;
  double min = 0.0;
  bool operator==(const ParamMinCondition&) const = default;
};
struct ParamInCondition {
  std::string field;
  std::vector<std::string> values;
  bool operator==(const ParamInCondition&) const = default;
};
struct RateLimitCondition {
  std::uint32_t max = 0;
  std::string window;  // duration text, parsed by the engine
  bool operator==(const RateLimitCondition&) const = default;
};
struct SessionAgeMaxCondition {
  std::string max_age;  // duration text, parsed by the engine
  bool operator==(const SessionAgeMaxCondition&) const = default;
};
struct ResourceCondition {
  std::string pattern;
  bool operator==(const ResourceCondition&) const = default;
};
struct TimeWindowCondition {
  std::string window;  // "HH:MM-HH:MM[ <IANA zone>]", checked by the engine
  bool operator==(const TimeWindowCondition&) const = default;
};

// Alternatives in the order of their kind numbers 0..10.
using Condition =
    std::variant<IdentityRoleCondition, IdentityKindCondition, IdentityIdCondition, ActionCondition,
                 ParamMaxCondition, ParamMinCondition, ParamInCondition, RateLimitCondition,
                 SessionAgeMaxCondition, ResourceCondition, TimeWindowCondition>;

// The document key naming a condition's kind ("identity_role", ...).
std::string_view condition_key(const Condition& condition) noexcept;

inline constexpr std::uint32_t kDefaultPolicyPriority = 100;

struct Policy {
  std::string name;
  Effect effect = Effect::Refuse;
  std::vector<Condition> conditions;
  std::optional<std::string> description;
  std::uint32_t priority = kDefaultPolicyPriority;
  bool operator==(const Policy&) const = default;
};

// Why reading a policy file failed: the file could not be read (Read), or
// its text was rejected (Parse, with the reader's message as detail).
struct PolicyFileError {
  enum class Kind : std::uint8_t { Read, Parse };
  Kind kind;
  std::string path;
  std::string detail;  // the operating system's error text (Read) or the reader's message (Parse)
  std::string format;  // "TOML" or "JSON"

  // Read: "cannot read {format} policy file '{path}': {detail}"; Parse: the detail alone.
  std::string display() const;
};

struct PolicySet {
  std::vector<Policy> policies;  // document order

  // TOML text. Every failure is PolicyError::Parse carrying the reader's
  // message, which names the offending key and its line and column.
  static std::expected<PolicySet, PolicyError> from_toml(std::string_view text);

  // JSON text: an object with "policies" (or "policy"). Failures are
  // PolicyError::Parse whose detail is the JSON reader's message; callers that
  // want their own prefix use the detail.
  static std::expected<PolicySet, PolicyError> from_json(std::string_view text);

  // A generic JSON value with the JSON document's structure (the Python layer
  // converts a dict to this). Same strictness as from_json, except that
  // repeated keys cannot occur in a value.
  static std::expected<PolicySet, PolicyError> from_json_value(const nlohmann::json& value);

  static std::expected<PolicySet, PolicyFileError> from_toml_file(const std::filesystem::path& path);
  static std::expected<PolicySet, PolicyFileError> from_json_file(const std::filesystem::path& path);

  bool operator==(const PolicySet&) const = default;
};

// Duration text: optional surrounding white space, an unsigned decimal number
// (an optional single leading '+', digits only) and an optional lower-case
// unit d/h/m/s. Absent for anything else. A product beyond the 64-bit range
// saturates at the largest value rather than wrapping.
std::optional<std::uint64_t> parse_duration_secs(std::string_view text) noexcept;

}  // namespace ostrel_core
