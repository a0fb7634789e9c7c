// Policy documents: the model, the three carriers, strictness and durations.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/policy_document.hpp"

namespace ostrel_core {
namespace {

using nlohmann::json;

// ---------------------------------------------------------------------------
// Durations

struct DurationCase {
  std::string_view text;
  std::optional<std::uint64_t> expected;
};

class DurationTest : public ::testing::TestWithParam<DurationCase> {};

TEST_P(DurationTest, Parses) {
  const auto& c = GetParam();
  EXPECT_EQ(parse_duration_secs(c.text), c.expected) << "text: \"" << c.text << "\"";
}

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Durations, DurationTest,
    ::testing::Values(
        DurationCase{"30s", 30}, DurationCase{"15m", 900}, DurationCase{"2h", 7200}, DurationCase{"1d", 86400},
        DurationCase{"90", 90}, DurationCase{"  5m  ", 300}, DurationCase{"\t5m\n", 300},
        DurationCase{"+5m", 300}, DurationCase{"0s", 0}, DurationCase{"0", 0}, DurationCase{"007s", 7},
        // Unicode white space (NO-BREAK SPACE, EM SPACE, IDEOGRAPHIC SPACE) is trimmed too.
        DurationCase{"\u00a05m\u2003", 300}, DurationCase{"\u30002h", 7200},
        // The largest number that fits, with the neutral unit.
        DurationCase{"18446744073709551615", kU64Max}, DurationCase{"18446744073709551615s", kU64Max},
        // A product beyond 64 bits saturates instead of wrapping to a short duration.
        DurationCase{"213503982334602d", kU64Max}, DurationCase{"5124095576030432h", kU64Max},
        DurationCase{"213503982334601d", std::uint64_t{213503982334601} * 86400},
        // Absent.
        DurationCase{"5 m", std::nullopt}, DurationCase{"1.5h", std::nullopt}, DurationCase{"-5m", std::nullopt},
        DurationCase{"5M", std::nullopt}, DurationCase{"5H", std::nullopt}, DurationCase{"", std::nullopt},
        DurationCase{"   ", std::nullopt}, DurationCase{"m", std::nullopt}, DurationCase{"+m", std::nullopt},
        DurationCase{"s", std::nullopt}, DurationCase{"+", std::nullopt}, DurationCase{"++5", std::nullopt},
        DurationCase{"5mm", std::nullopt}, DurationCase{"5ms", std::nullopt}, DurationCase{"1w", std::nullopt},
        DurationCase{"18446744073709551616", std::nullopt}, DurationCase{"99999999999999999999s", std::nullopt},
        DurationCase{"\u0665s", std::nullopt} /* ARABIC-INDIC DIGIT FIVE is not a digit here */,
        DurationCase{"5\u00a0m", std::nullopt}));

// ---------------------------------------------------------------------------
// Reading valid documents

constexpr std::string_view kFullToml = R"toml(
[[policy]]
name = "admins"
effect = "permit"
description = "admins may do anything"
priority = 10
conditions = [
  { identity_role = "admin" },
  { identity_kind = "agent" },
  { identity_id = "agent-7" },
  { action = "orders.*" },
  { param_max = { field = "amount", max = 500 } },
  { param_min = { field = "amount", min = 0.5 } },
  { param_in = { field = "region", values = ["eu", "us"] } },
  { rate_limit = { max = 10, window = "1m" } },
  { session_age_max = "1h" },
  { resource = "db/*" },
  { time_window = "09:00-17:30 Europe/Berlin" },
]

[[policy]]
name = "nobody"
effect = "refuse"
conditions = []
)toml";

constexpr std::string_view kFullJson = R"json({
  "policies": [
    {
      "name": "admins",
      "effect": "permit",
      "description": "admins may do anything",
      "priority": 10,
      "conditions": [
        {"identity_role": "admin"},
        {"identity_kind": "agent"},
        {"identity_id": "agent-7"},
        {"action": "orders.*"},
        {"param_max": {"field": "amount", "max": 500}},
        {"param_min": {"field": "amount", "min": 0.5}},
        {"param_in": {"field": "region", "values": ["eu", "us"]}},
        {"rate_limit": {"max": 10, "window": "1m"}},
        {"session_age_max": "1h"},
        {"resource": "db/*"},
        {"time_window": "09:00-17:30 Europe/Berlin"}
      ]
    },
    {"name": "nobody", "effect": "refuse", "conditions": []}
  ]
})json";

PolicySet expected_full_set() {
  Policy admins;
  admins.name = "admins";
  admins.effect = Effect::Permit;
  admins.description = "admins may do anything";
  admins.priority = 10;
  admins.conditions = {
      IdentityRoleCondition{"admin"},
      IdentityKindCondition{PrincipalKind::Agent},
      IdentityIdCondition{"agent-7"},
      ActionCondition{"orders.*"},
      ParamMaxCondition{"amount", 500.0},
      ParamMinCondition{"amount", 0.5},
      ParamInCondition{"region", {"eu", "us"}},
      RateLimitCondition{10, "1m"},
      SessionAgeMaxCondition{"1h"},
      ResourceCondition{"db/*"},
      TimeWindowCondition{"09:00-17:30 Europe/Berlin"},
  };
  Policy nobody;
  nobody.name = "nobody";
  nobody.effect = Effect::Refuse;
  return PolicySet{{admins, nobody}};
}

TEST(PolicyDocumentRead, TomlHoldsEveryConditionKindInOrder) {
  auto set = PolicySet::from_toml(kFullToml);
  ASSERT_TRUE(set.has_value()) << set.error().display();
  EXPECT_EQ(*set, expected_full_set());
  // Kind keys, in the order of their kind numbers.
  const auto& conds = set->policies[0].conditions;
  const char* keys[] = {"identity_role", "identity_kind", "identity_id", "action",   "param_max",  "param_min",
                        "param_in",      "rate_limit",    "session_age_max", "resource", "time_window"};
  ASSERT_EQ(conds.size(), std::size(keys));
  for (std::size_t i = 0; i < conds.size(); ++i) {
    EXPECT_EQ(conds[i].index(), i);
    EXPECT_EQ(condition_key(conds[i]), keys[i]);
  }
}

TEST(PolicyDocumentRead, JsonTextAndJsonValueReadTheSameAsToml) {
  auto from_text = PolicySet::from_json(kFullJson);
  ASSERT_TRUE(from_text.has_value()) << from_text.error().display();
  EXPECT_EQ(*from_text, expected_full_set());

  auto from_value = PolicySet::from_json_value(json::parse(kFullJson));
  ASSERT_TRUE(from_value.has_value()) << from_value.error().display();
  EXPECT_EQ(*from_value, expected_full_set());
}

TEST(PolicyDocumentRead, EmptyDocumentsAreEmptySets) {
  for (std::string_view toml : {"", "\n# nothing here\n", "policy = []"}) {
    auto set = PolicySet::from_toml(toml);
    ASSERT_TRUE(set.has_value()) << set.error().display();
    EXPECT_TRUE(set->policies.empty());
  }
  for (std::string_view text : {"{}", " { } ", R"({"policies": []})", R"({"policy": []})"}) {
    auto set = PolicySet::from_json(text);
    ASSERT_TRUE(set.has_value()) << set.error().display();
    EXPECT_TRUE(set->policies.empty());
  }
  auto value = PolicySet::from_json_value(json::object());
  ASSERT_TRUE(value.has_value());
  EXPECT_TRUE(value->policies.empty());
}

TEST(PolicyDocumentRead, PoliciesIsAnotherNameOfTheList) {
  auto repeated_tables = PolicySet::from_toml(R"toml(
[[policy]]
name = "p"
effect = "permit"
conditions = [{ action = "a" }]
)toml");
  auto policies_key = PolicySet::from_toml(R"toml(
[[policies]]
name = "p"
effect = "permit"
conditions = [{ action = "a" }]
)toml");
  auto inline_array = PolicySet::from_toml(
      R"toml(policies = [{ name = "p", effect = "permit", conditions = [{ action = "a" }] }])toml");
  ASSERT_TRUE(repeated_tables.has_value()) << repeated_tables.error().display();
  ASSERT_TRUE(policies_key.has_value()) << policies_key.error().display();
  ASSERT_TRUE(inline_array.has_value()) << inline_array.error().display();
  EXPECT_EQ(*repeated_tables, *policies_key);
  EXPECT_EQ(*repeated_tables, *inline_array);
  ASSERT_EQ(repeated_tables->policies.size(), 1u);

  auto json_policy = PolicySet::from_json(R"({"policy":[{"name":"p","effect":"permit","conditions":[{"action":"a"}]}]})");
  ASSERT_TRUE(json_policy.has_value()) << json_policy.error().display();
  EXPECT_EQ(*json_policy, *repeated_tables);
}

TEST(PolicyDocumentRead, OptionalFieldsDefault) {
  auto set = PolicySet::from_toml(R"toml(
[[policy]]
name = "p"
effect = "refuse"
conditions = []
)toml");
  ASSERT_TRUE(set.has_value()) << set.error().display();
  ASSERT_EQ(set->policies.size(), 1u);
  EXPECT_EQ(set->policies[0].priority, 100u);
  EXPECT_FALSE(set->policies[0].description.has_value());
  EXPECT_TRUE(set->policies[0].conditions.empty());

  // JSON null (a Python None) for the description means none as well.
  auto json_set = PolicySet::from_json(R"({"policies":[{"name":"p","effect":"refuse","conditions":[],"description":null}]})");
  ASSERT_TRUE(json_set.has_value()) << json_set.error().display();
  EXPECT_FALSE(json_set->policies[0].description.has_value());
}

TEST(PolicyDocumentRead, DocumentOrderAndNumbersArePreserved) {
  auto set = PolicySet::from_toml(R"toml(
[[policy]]
name = "b"
effect = "permit"
priority = 4294967295
conditions = [{ param_max = { field = "x", max = -2.5 } }, { rate_limit = { max = 4294967295, window = "?" } }]

[[policy]]
name = "a"
effect = "permit"
priority = 0
conditions = [{ param_min = { field = "x", min = -9007199254740993 } }]

[[policy]]
name = "b"
effect = "refuse"
conditions = []
)toml");
  ASSERT_TRUE(set.has_value()) << set.error().display();
  ASSERT_EQ(set->policies.size(), 3u);
  // Reading keeps document order; names need not be unique.
  EXPECT_EQ(set->policies[0].name, "b");
  EXPECT_EQ(set->policies[1].name, "a");
  EXPECT_EQ(set->policies[2].name, "b");
  EXPECT_EQ(set->policies[0].priority, 4294967295u);
  EXPECT_EQ(set->policies[1].priority, 0u);
  EXPECT_EQ(std::get<ParamMaxCondition>(set->policies[0].conditions[0]).max, -2.5);
  // An unparsable window is not a reading error: the engine applies its fallback.
  EXPECT_EQ(std::get<RateLimitCondition>(set->policies[0].conditions[1]),
            (RateLimitCondition{4294967295u, "?"}));
  EXPECT_EQ(std::get<ParamMinCondition>(set->policies[1].conditions[0]).min, -9007199254740992.0);
}

TEST(PolicyDocumentRead, MalformedTimeWindowsAndZonesAreNotReadingErrors) {
  auto set = PolicySet::from_toml(R"toml(
[[policy]]
name = "p"
effect = "permit"
conditions = [{ time_window = "9-17" }, { time_window = "09:00-17:00 Mars/Olympus" }, { session_age_max = "soon" }]
)toml");
  ASSERT_TRUE(set.has_value()) << set.error().display();
  EXPECT_EQ(set->policies[0].conditions.size(), 3u);
}

// ---------------------------------------------------------------------------
// Strictness: one table of faults, each read in TOML, JSON text and as a JSON
// value. The TOML message carries the position of the offending key or value.

struct FaultCase {
  std::string_view label;
  std::string_view toml;
  std::string_view toml_message;  // exact
  std::string_view json;          // empty: no JSON counterpart
  std::string_view json_message;  // exact
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.label; }

class PolicyFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(PolicyFaultTest, TomlIsRejectedWithTheReadersMessage) {
  const auto& c = GetParam();
  auto set = PolicySet::from_toml(c.toml);
  ASSERT_FALSE(set.has_value()) << "accepted: " << c.toml;
  EXPECT_EQ(set.error().kind(), PolicyError::Kind::Parse);
  EXPECT_EQ(set.error().detail(), c.toml_message);
  EXPECT_EQ(set.error().display(), "policy parse error: " + std::string(c.toml_message));
}

TEST_P(PolicyFaultTest, JsonTextIsRejectedWithTheReadersMessage) {
  const auto& c = GetParam();
  if (c.json.empty()) GTEST_SKIP() << "TOML only";
  auto set = PolicySet::from_json(c.json);
  ASSERT_FALSE(set.has_value()) << "accepted: " << c.json;
  EXPECT_EQ(set.error().kind(), PolicyError::Kind::Parse);
  EXPECT_EQ(set.error().detail(), c.json_message);
}

TEST_P(PolicyFaultTest, JsonValueIsRejectedLikeJsonText) {
  const auto& c = GetParam();
  if (c.json.empty()) GTEST_SKIP() << "TOML only";
  // Repeated keys cannot survive into a value (the later one wins); those
  // cases are text-only.
  if (c.json_message.starts_with("duplicate field")) GTEST_SKIP() << "text only";
  if (!json::accept(c.json)) GTEST_SKIP() << "not JSON";
  auto set = PolicySet::from_json_value(json::parse(c.json));
  ASSERT_FALSE(set.has_value()) << "accepted: " << c.json;
  EXPECT_EQ(set.error().detail(), c.json_message);
}

constexpr std::string_view kPolicyFieldList =
    "expected one of `name`, `effect`, `conditions`, `description`, `priority`";

INSTANTIATE_TEST_SUITE_P(
    Faults, PolicyFaultTest,
    ::testing::Values(
        FaultCase{"missing_conditions",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\n",
                  "missing field `conditions` at line 1 column 1",
                  R"({"policies":[{"name":"p","effect":"permit"}]})", "missing field `conditions`"},
        FaultCase{"missing_name",
                  "[[policy]]\neffect = \"permit\"\nconditions = []\n",
                  "missing field `name` at line 1 column 1",
                  R"({"policies":[{"effect":"permit","conditions":[]}]})", "missing field `name`"},
        FaultCase{"missing_effect",
                  "[[policy]]\nname = \"p\"\nconditions = []\n",
                  "missing field `effect` at line 1 column 1",
                  R"({"policies":[{"name":"p","conditions":[]}]})", "missing field `effect`"},
        FaultCase{"misspelt_priority",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\nconditions = []\npriorty = 5\n",
                  "unknown field `priorty`, expected one of `name`, `effect`, `conditions`, `description`, "
                  "`priority` at line 5 column 1",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[],"priorty":5}]})",
                  "unknown field `priorty`, expected one of `name`, `effect`, `conditions`, `description`, "
                  "`priority`"},
        FaultCase{"unknown_top_level_key",
                  "rules = []\n",
                  "unknown field `rules`, expected one of `policy`, `policies` at line 1 column 1",
                  R"({"rules":[]})", "unknown field `rules`, expected one of `policy`, `policies`"},
        FaultCase{"both_list_names",
                  "policy = []\npolicies = []\n",
                  "duplicate field `policies` at line 2 column 1",
                  R"({"policy":[],"policies":[]})", "duplicate field `policies`"},
        FaultCase{"repeated_policy_key",
                  "[[policy]]\nname = \"p\"\nname = \"q\"\neffect = \"permit\"\nconditions = []\n",
                  "duplicate field `name` at line 3 column 8",
                  R"({"policies":[{"name":"p","name":"q","effect":"permit","conditions":[]}]})",
                  "duplicate field `name`"},
        FaultCase{"repeated_payload_key",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\n"
                  "conditions = [{ param_max = { field = \"a\", max = 1, max = 2 } }]\n",
                  "duplicate field `max` at line 4 column 59",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"param_max":{"field":"a","max":1,"max":2}}]}]})",
                  "duplicate field `max`"},
        FaultCase{"capitalised_effect",
                  "[[policy]]\nname = \"p\"\neffect = \"Permit\"\nconditions = []\n",
                  "unknown variant `Permit`, expected one of `permit`, `refuse` at line 3 column 10",
                  R"({"policies":[{"name":"p","effect":"Permit","conditions":[]}]})",
                  "unknown variant `Permit`, expected one of `permit`, `refuse`"},
        FaultCase{"unknown_condition_kind",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\nconditions = [{ actoin = \"x\" }]\n",
                  "unknown variant `actoin`, expected one of `identity_role`, `identity_kind`, `identity_id`, "
                  "`action`, `param_max`, `param_min`, `param_in`, `rate_limit`, `session_age_max`, `resource`, "
                  "`time_window` at line 4 column 17",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"actoin":"x"}]}]})",
                  "unknown variant `actoin`, expected one of `identity_role`, `identity_kind`, `identity_id`, "
                  "`action`, `param_max`, `param_min`, `param_in`, `rate_limit`, `session_age_max`, `resource`, "
                  "`time_window`"},
        FaultCase{"capitalised_principal_kind",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\nconditions = [{ identity_kind = \"Agent\" }]\n",
                  "unknown variant `Agent`, expected one of `user`, `agent`, `service`, `scheduler`, `external` "
                  "at line 4 column 33",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"identity_kind":"Agent"}]}]})",
                  "unknown variant `Agent`, expected one of `user`, `agent`, `service`, `scheduler`, `external`"},
        FaultCase{"condition_with_two_keys",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\n"
                  "conditions = [{ action = \"x\", resource = \"y\" }]\n",
                  "invalid condition: expected exactly one key naming the condition kind, found 2 keys "
                  "(`action`, `resource`) at line 4 column 15",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"action":"x","resource":"y"}]}]})",
                  "invalid condition: expected exactly one key naming the condition kind, found 2 keys "
                  "(`action`, `resource`)"},
        FaultCase{"condition_without_keys",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\nconditions = [{}]\n",
                  "invalid condition: expected exactly one key naming the condition kind, found none "
                  "at line 4 column 15",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{}]}]})",
                  "invalid condition: expected exactly one key naming the condition kind, found none"},
        FaultCase{"param_max_written_with_min",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\n"
                  "conditions = [{ param_max = { field = \"a\", min = 1 } }]\n",
                  "unknown field `min`, expected one of `field`, `max` at line 4 column 44",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"param_max":{"field":"a","min":1}}]}]})",
                  "unknown field `min`, expected one of `field`, `max`"},
        FaultCase{"param_max_without_max",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\nconditions = [{ param_max = { field = \"a\" } }]\n",
                  "missing field `max` at line 4 column 29",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"param_max":{"field":"a"}}]}]})",
                  "missing field `max`"},
        FaultCase{"param_in_values_not_a_list",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\n"
                  "conditions = [{ param_in = { field = \"a\", values = \"eu\" } }]\n",
                  "invalid type for field `values`: expected an array of strings, found string \"eu\" "
                  "at line 4 column 52",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"param_in":{"field":"a","values":"eu"}}]}]})",
                  "invalid type for field `values`: expected an array of strings, found string \"eu\""},
        FaultCase{"param_in_value_not_a_string",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\n"
                  "conditions = [{ param_in = { field = \"a\", values = [\"eu\", 3] } }]\n",
                  "invalid type for field `values`: expected a string, found integer `3` at line 4 column 59",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"param_in":{"field":"a","values":["eu",3]}}]}]})",
                  "invalid type for field `values`: expected a string, found integer `3`"},
        FaultCase{"rate_limit_max_negative",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\n"
                  "conditions = [{ rate_limit = { max = -1, window = \"1m\" } }]\n",
                  "invalid value for field `max`: expected an integer from 0 to 4294967295, found integer `-1` "
                  "at line 4 column 38",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"rate_limit":{"max":-1,"window":"1m"}}]}]})",
                  "invalid value for field `max`: expected an integer from 0 to 4294967295, found integer `-1`"},
        FaultCase{"rate_limit_max_beyond_32_bits",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\n"
                  "conditions = [{ rate_limit = { max = 4294967296, window = \"1m\" } }]\n",
                  "invalid value for field `max`: expected an integer from 0 to 4294967295, found integer "
                  "`4294967296` at line 4 column 38",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"rate_limit":{"max":4294967296,"window":"1m"}}]}]})",
                  "invalid value for field `max`: expected an integer from 0 to 4294967295, found integer "
                  "`4294967296`"},
        FaultCase{"rate_limit_max_float",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\n"
                  "conditions = [{ rate_limit = { max = 2.0, window = \"1m\" } }]\n",
                  "invalid type for field `max`: expected u32, found floating point `2.0` at line 4 column 38",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"rate_limit":{"max":2.0,"window":"1m"}}]}]})",
                  "invalid type for field `max`: expected u32, found floating point `2.0`"},
        FaultCase{"rate_limit_without_window",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\nconditions = [{ rate_limit = { max = 1 } }]\n",
                  "missing field `window` at line 4 column 30",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"rate_limit":{"max":1}}]}]})",
                  "missing field `window`"},
        FaultCase{"priority_negative",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\nconditions = []\npriority = -1\n",
                  "invalid value for field `priority`: expected an integer from 0 to 4294967295, found integer "
                  "`-1` at line 5 column 12",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[],"priority":-1}]})",
                  "invalid value for field `priority`: expected an integer from 0 to 4294967295, found integer "
                  "`-1`"},
        FaultCase{"priority_string",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\nconditions = []\npriority = \"1\"\n",
                  "invalid type for field `priority`: expected u32, found string \"1\" at line 5 column 12",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[],"priority":"1"}]})",
                  "invalid type for field `priority`: expected u32, found string \"1\""},
        FaultCase{"name_not_a_string",
                  "[[policy]]\nname = 5\neffect = \"permit\"\nconditions = []\n",
                  "invalid type for field `name`: expected a string, found integer `5` at line 2 column 8",
                  R"({"policies":[{"name":5,"effect":"permit","conditions":[]}]})",
                  "invalid type for field `name`: expected a string, found integer `5`"},
        FaultCase{"param_max_bound_not_a_number",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\n"
                  "conditions = [{ param_max = { field = \"a\", max = \"10\" } }]\n",
                  "invalid type for field `max`: expected a number, found string \"10\" at line 4 column 50",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[{"param_max":{"field":"a","max":"10"}}]}]})",
                  "invalid type for field `max`: expected a number, found string \"10\""},
        FaultCase{"conditions_not_a_list",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\nconditions = { action = \"x\" }\n",
                  "invalid type for field `conditions`: expected an array of conditions, found table "
                  "at line 4 column 14",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":{"action":"x"}}]})",
                  "invalid type for field `conditions`: expected an array of conditions, found object"},
        FaultCase{"single_policy_table_instead_of_list",
                  "[policy]\nname = \"p\"\neffect = \"permit\"\nconditions = []\n",
                  "invalid type for field `policy`: expected an array of policies, found table at line 1 column 1",
                  R"({"policy":{"name":"p","effect":"permit","conditions":[]}})",
                  "invalid type for field `policy`: expected an array of policies, found object"},
        FaultCase{"description_not_a_string",
                  "[[policy]]\nname = \"p\"\neffect = \"permit\"\nconditions = []\ndescription = true\n",
                  "invalid type for field `description`: expected a string, found boolean `true` "
                  "at line 5 column 15",
                  R"({"policies":[{"name":"p","effect":"permit","conditions":[],"description":true}]})",
                  "invalid type for field `description`: expected a string, found boolean `true`"},
        // One bad policy rejects the whole document: there is no partial set.
        FaultCase{"second_policy_bad",
                  "[[policy]]\nname = \"ok\"\neffect = \"permit\"\nconditions = []\n\n"
                  "[[policy]]\nname = \"bad\"\neffect = \"allow\"\nconditions = []\n",
                  "unknown variant `allow`, expected one of `permit`, `refuse` at line 8 column 10",
                  R"({"policies":[{"name":"ok","effect":"permit","conditions":[]},{"name":"bad","effect":"allow","conditions":[]}]})",
                  "unknown variant `allow`, expected one of `permit`, `refuse`"},
        // Syntax errors carry the underlying reader's own description.
        FaultCase{"toml_syntax_error",
                  "[[policy]]\nname = \n",
                  "Error while parsing key-value pair: expected value, saw '\\n' at line 2 column 8",
                  "{\"policies\": [}",
                  "parse error at line 1, column 15: syntax error while parsing value - unexpected '}'; "
                  "expected '[', '{', or a literal"},
        FaultCase{"document_not_a_table",
                  "x = 1\n", "unknown field `x`, expected one of `policy`, `policies` at line 1 column 1",
                  "[]", "invalid type: expected a policy document object, found array"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.label); });

TEST(PolicyDocumentRead, DeeplyNestedJsonIsRejectedWithoutExhaustingTheStack) {
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  auto set = PolicySet::from_json(deep);
  ASSERT_FALSE(set.has_value());
  EXPECT_EQ(set.error().detail(), "recursion limit exceeded");

  json value = json::array();
  for (int i = 0; i < 200; ++i) value = json::array({value});
  auto from_value = PolicySet::from_json_value(json{{"policies", value}});
  ASSERT_FALSE(from_value.has_value());
  EXPECT_EQ(from_value.error().detail(), "recursion limit exceeded");
}

TEST(PolicyDocumentRead, JsonValueFromADictLikeStructure) {
  // What the Python layer builds from a dict: numbers may be unsigned, signed
  // or floating; lists and nested objects.
  json doc = {{"policies",
               json::array({{{"name", "cap"},
                             {"effect", "refuse"},
                             {"priority", 5u},
                             {"conditions", json::array({{{"param_max", {{"field", "amount"}, {"max", 1000}}}},
                                                         {{"param_min", {{"field", "amount"}, {"min", -3.5}}}}})}}})}};
  auto set = PolicySet::from_json_value(doc);
  ASSERT_TRUE(set.has_value()) << set.error().display();
  ASSERT_EQ(set->policies.size(), 1u);
  EXPECT_EQ(set->policies[0].priority, 5u);
  EXPECT_EQ(std::get<ParamMaxCondition>(set->policies[0].conditions[0]), (ParamMaxCondition{"amount", 1000.0}));
  EXPECT_EQ(std::get<ParamMinCondition>(set->policies[0].conditions[1]), (ParamMinCondition{"amount", -3.5}));

  // A None for a bound arrives as null and is a type error, not a zero.
  doc["policies"][0]["conditions"][0]["param_max"]["max"] = nullptr;
  auto bad = PolicySet::from_json_value(doc);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().detail(), "invalid type for field `max`: expected a number, found null");
}

// ---------------------------------------------------------------------------
// Files

class PolicyFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("ostrel-policy-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path write(const std::string& name, std::string_view text) {
    const auto p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  std::filesystem::path dir_;
};

TEST_F(PolicyFileTest, ReadsJsonAndTomlFiles) {
  auto json_set = PolicySet::from_json_file(write("p.json", kFullJson));
  ASSERT_TRUE(json_set.has_value()) << json_set.error().display();
  EXPECT_EQ(*json_set, expected_full_set());
  auto toml_set = PolicySet::from_toml_file(write("p.toml", kFullToml));
  ASSERT_TRUE(toml_set.has_value()) << toml_set.error().display();
  EXPECT_EQ(*toml_set, expected_full_set());
}

TEST_F(PolicyFileTest, UnreadableFileNamesThePathAndTheSystemError) {
  const auto missing = dir_ / "absent.json";
  auto set = PolicySet::from_json_file(missing);
  ASSERT_FALSE(set.has_value());
  EXPECT_EQ(set.error().kind, PolicyFileError::Kind::Read);
  EXPECT_EQ(set.error().display(),
            "cannot read JSON policy file '" + missing.string() + "': No such file or directory");

  auto dir = PolicySet::from_toml_file(dir_);
  ASSERT_FALSE(dir.has_value());
  EXPECT_EQ(dir.error().display(), "cannot read TOML policy file '" + dir_.string() + "': Is a directory");
}

TEST_F(PolicyFileTest, BadContentIsAParseErrorWithTheReadersMessage) {
  auto set = PolicySet::from_json_file(write("bad.json", R"({"policies":[{"name":"p"}]})"));
  ASSERT_FALSE(set.has_value());
  EXPECT_EQ(set.error().kind, PolicyFileError::Kind::Parse);
  EXPECT_EQ(set.error().display(), "missing field `effect`");
}

}  // namespace
}  // namespace ostrel_core
