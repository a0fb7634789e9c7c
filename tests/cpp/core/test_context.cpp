#include "core/context.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

using namespace ostrel_core;
using nlohmann::json;

namespace {

Timestamp at(std::int64_t s, std::uint32_t n = 0) { return Timestamp::from_unix(s, n).value(); }

Uuid uuid(const char* text) { return Uuid::parse(text).value(); }

TEST(ActionDescriptor, ParamAsF64AcceptsOnlyJsonNumbers) {
    ActionDescriptor a("payments.transfer");
    a.set_param("int", json(5));
    a.set_param("neg", json(-7));
    a.set_param("big", json(std::uint64_t{18446744073709551615u}));
    a.set_param("float", json(2.5));
    a.set_param("digit_string", json("5"));
    a.set_param("null", json(nullptr));
    a.set_param("bool", json(true));
    a.set_param("array", json::array({1}));
    a.set_param("object", json::object({{"x", 1}}));

    EXPECT_EQ(a.param_as_f64("int"), 5.0);
    EXPECT_EQ(a.param_as_f64("neg"), -7.0);
    EXPECT_EQ(a.param_as_f64("big"), 18446744073709551615.0);
    EXPECT_EQ(a.param_as_f64("float"), 2.5);
    for (const char* none : {"digit_string", "null", "bool", "array", "object", "missing"})
        EXPECT_EQ(a.param_as_f64(none), std::nullopt) << none;
}

TEST(ActionDescriptor, ParamAsStrAcceptsOnlyJsonStrings) {
    ActionDescriptor a("x");
    a.set_param("s", json("EUR"));
    a.set_param("n", json(5));
    EXPECT_EQ(a.param_as_str("s"), std::optional<std::string_view>("EUR"));
    EXPECT_EQ(a.param_as_str("n"), std::nullopt);
    EXPECT_EQ(a.param_as_str("missing"), std::nullopt);
}

TEST(ActionDescriptor, SettingAKeyAgainReplacesItAndCopiesAreIndependent) {
    ActionDescriptor a("x", "res");
    a.set_param("k", json(1));
    a.set_param("k", json("two"));
    EXPECT_EQ(a.params.size(), 1u);
    EXPECT_EQ(a.param_as_str("k"), std::optional<std::string_view>("two"));

    ActionDescriptor b = a;
    b.set_param("k", json(3));
    EXPECT_EQ(a.param_as_str("k"), std::optional<std::string_view>("two"));
    EXPECT_EQ(b.param_as_f64("k"), 3.0);
    EXPECT_NE(a, b);
    ActionDescriptor c = std::move(b);
    EXPECT_EQ(c.param_as_f64("k"), 3.0);
    EXPECT_EQ(c.resource, std::optional<std::string>("res"));
}

TEST(PrincipalKind, OnlyTheExactLowerCaseWordsAreValid) {
    const std::pair<const char*, PrincipalKind> valid[] = {{"user", PrincipalKind::User},
                                                           {"agent", PrincipalKind::Agent},
                                                           {"service", PrincipalKind::Service},
                                                           {"scheduler", PrincipalKind::Scheduler},
                                                           {"external", PrincipalKind::External}};
    for (const auto& [text, kind] : valid) {
        EXPECT_EQ(parse_principal_kind(text), kind);
        EXPECT_EQ(principal_kind_text(kind), text);
    }
    for (const char* bad : {"User", "AGENT", "robot", "", " user", "user "})
        EXPECT_EQ(parse_principal_kind(bad), std::nullopt) << bad;
    EXPECT_EQ(principal_kind_names()[0], "user");
    EXPECT_EQ(principal_kind_names()[4], "external");
}

TEST(GeoLocation, DistanceNeedsBothCoordinatesOnBothSides) {
    const GeoLocation full{"DE", {}, {}, 0.0, 0.0};
    const GeoLocation no_lon{"DE", {}, {}, 0.0, {}};
    const GeoLocation no_lat{"DE", {}, {}, {}, 1.0};
    const GeoLocation none{"DE", {}, {}, {}, {}};
    for (const auto* partial : {&no_lon, &no_lat, &none}) {
        EXPECT_EQ(full.distance_km(*partial), std::nullopt);
        EXPECT_EQ(partial->distance_km(full), std::nullopt);
    }
}

TEST(GeoLocation, HaversineDistances) {
    const GeoLocation origin{"XX", {}, {}, 0.0, 0.0};
    const GeoLocation one_east{"XX", {}, {}, 0.0, 1.0};
    EXPECT_NEAR(*origin.distance_km(one_east), 111.19, 0.01);
    EXPECT_EQ(*origin.distance_km(origin), 0.0);

    const GeoLocation berlin{"DE", {}, "Berlin", 52.52, 13.405};
    const GeoLocation paris{"FR", {}, "Paris", 48.8566, 2.3522};
    const double d = *berlin.distance_km(paris);
    EXPECT_NEAR(d, 877.5, 1.0);
    EXPECT_NEAR(*paris.distance_km(berlin), d, 1e-9);
    const GeoLocation antipode{"XX", {}, {}, 0.0, 180.0};
    EXPECT_NEAR(*origin.distance_km(antipode), M_PI * 6371.0, 1e-6);
}

TEST(DeviceFingerprint, EqualityNeedsHashAndDescription) {
    EXPECT_EQ((DeviceFingerprint{"h", "laptop"}), (DeviceFingerprint{"h", "laptop"}));
    EXPECT_NE((DeviceFingerprint{"h", "laptop"}), (DeviceFingerprint{"h", {}}));
    EXPECT_NE((DeviceFingerprint{"h", {}}), (DeviceFingerprint{"g", {}}));
}

SessionState sample_session() {
    SessionState s;
    s.session_id = uuid("67e55044-10b1-426f-9247-bb680e5fe0c8");
    s.started_at = at(1735787045, 500'000'000);
    s.action_count = 3;
    s.action_history = {"a", "b \"quoted\""};
    s.invalidated = true;
    s.origin_ip = ostrel_util::IpAddr::parse("10.0.0.1");
    s.origin_device = DeviceFingerprint{"h", {}};
    s.origin_geo = GeoLocation{"DE", {}, "Berlin", 52.52, 13.405};
    return s;
}

TEST(SessionStateJson, WritesKeysInDeclarationOrderWithNulls) {
    EXPECT_EQ(sample_session().to_json(),
              R"({"session_id":"67e55044-10b1-426f-9247-bb680e5fe0c8","started_at":"2025-01-02T03:04:05.500Z",)"
              R"("action_count":3,"action_history":["a","b \"quoted\""],"invalidated":true,"origin_ip":"10.0.0.1",)"
              R"("origin_device":{"hash":"h","description":null},)"
              R"("origin_geo":{"country_code":"DE","region":null,"city":"Berlin","latitude":52.52,"longitude":13.405}})");

    SessionState bare;
    bare.session_id = uuid("67e55044-10b1-426f-9247-bb680e5fe0c8");
    bare.started_at = at(1735787045);
    EXPECT_EQ(bare.to_json(),
              R"({"session_id":"67e55044-10b1-426f-9247-bb680e5fe0c8","started_at":"2025-01-02T03:04:05Z",)"
              R"("action_count":0,"action_history":[],"invalidated":false,"origin_ip":null,"origin_device":null,)"
              R"("origin_geo":null})");
}

TEST(SessionStateJson, RoundTripsIncludingNullOptionalMembers) {
    std::vector<SessionState> states = {sample_session(), SessionState::create()};
    SessionState v6 = sample_session();
    v6.origin_ip = ostrel_util::IpAddr::parse("2001:db8::1");
    v6.origin_geo = GeoLocation{"FR", {}, {}, {}, {}};
    v6.origin_device = DeviceFingerprint{"d", "phone"};
    v6.started_at = at(-5, 1);
    v6.action_count = UINT64_MAX;
    states.push_back(v6);
    for (const auto& s : states) {
        auto back = SessionState::from_json(s.to_json());
        ASSERT_TRUE(back.has_value()) << s.to_json() << ": " << back.error().message;
        EXPECT_EQ(*back, s) << s.to_json();
    }
}

TEST(SessionStateJson, ReadingAppliesDefaultsAndIgnoresUnknownKeys) {
    auto s = SessionState::from_json(
        R"({"future_key":{"x":1},"action_count":9,"started_at":"2025-01-02T05:04:05+02:00",)"
        R"("session_id":"67E55044-10B1-426F-9247-BB680E5FE0C8","origin_geo":null})");
    ASSERT_TRUE(s.has_value()) << s.error().message;
    EXPECT_EQ(s->action_count, 9u);
    EXPECT_EQ(s->started_at, at(1735787045));
    EXPECT_TRUE(s->action_history.empty());
    EXPECT_FALSE(s->invalidated);
    EXPECT_EQ(s->origin_ip, std::nullopt);
    EXPECT_EQ(s->origin_device, std::nullopt);
    EXPECT_EQ(s->origin_geo, std::nullopt);
}

TEST(SessionStateJson, RejectsBadRecordsWithTheReadersMessage) {
    const std::string id = R"("session_id":"67e55044-10b1-426f-9247-bb680e5fe0c8")";
    const std::string started = R"("started_at":"2025-01-02T03:04:05Z")";
    struct Case {
        std::string text;
        std::string message_part;
    };
    const Case cases[] = {
        {"{" + id + "," + started + "}", "missing field `action_count`"},
        {"{" + started + R"(,"action_count":1})", "missing field `session_id`"},
        {"{" + id + R"(,"action_count":1})", "missing field `started_at`"},
        {"{" + id + "," + started + R"(,"action_count":1,"action_count":2})", "duplicate field `action_count`"},
        {"{" + id + "," + started + R"(,"action_count":-1})", "`action_count`"},
        {"{" + id + "," + started + R"(,"action_count":"1"})", "`action_count`"},
        {R"({"session_id":"not-a-uuid",)" + started + R"(,"action_count":1})", "`session_id`"},
        {"{" + id + R"(,"started_at":"yesterday","action_count":1})", "`started_at`"},
        {"{" + id + "," + started + R"(,"action_count":1,"origin_ip":"300.1.1.1"})", "`origin_ip`"},
        {"{" + id + "," + started + R"(,"action_count":1,"origin_geo":{"city":"Berlin"}})", "missing field `country_code`"},
        {"{" + id + "," + started + R"(,"action_count":1,"origin_device":{}})", "missing field `hash`"},
        {"{" + id + "," + started + R"(,"action_count":1,"invalidated":"no"})", "`invalidated`"},
        {"[]", "invalid type"},
        {"{", "parse error"},
    };
    for (const auto& c : cases) {
        auto s = SessionState::from_json(c.text);
        ASSERT_FALSE(s.has_value()) << c.text;
        EXPECT_NE(s.error().message.find(c.message_part), std::string::npos) << c.text << " -> " << s.error().message;
    }
}

TEST(GeoAndDeviceJson, WriteAllKeysAndReadBack) {
    const GeoLocation g{"DE", "Brandenburg", {}, {}, 13.0};
    EXPECT_EQ(g.to_json(), R"({"country_code":"DE","region":"Brandenburg","city":null,"latitude":null,"longitude":13.0})");
    EXPECT_EQ(GeoLocation::from_json(g.to_json()).value(), g);
    const DeviceFingerprint d{"abc", "work laptop"};
    EXPECT_EQ(d.to_json(), R"({"hash":"abc","description":"work laptop"})");
    EXPECT_EQ(DeviceFingerprint::from_json(d.to_json()).value(), d);
    EXPECT_EQ(DeviceFingerprint::from_json(R"({"hash":"abc","hash":"abd"})").error().message, "duplicate field `hash`");
}

TEST(SessionState, CreateStartsAFreshSession) {
    const Timestamp before = ostrel_util::now();
    const SessionState a = SessionState::create();
    const SessionState b = SessionState::create();
    EXPECT_EQ(a.session_id.version(), 4u);
    EXPECT_NE(a.session_id, b.session_id);
    EXPECT_GE(a.started_at, before);
    EXPECT_EQ(a.action_count, 0u);
    EXPECT_TRUE(a.action_history.empty());
    EXPECT_FALSE(a.invalidated);
    EXPECT_FALSE(a.origin_ip || a.origin_device || a.origin_geo);
}

TEST(ActionContext, CreateDrawsAFreshEvaluationIdAndTimestamp) {
    const Timestamp before = ostrel_util::now();
    Principal p{"agent-7", PrincipalKind::Agent, {"reader", "writer"}};
    ActionDescriptor action("orders.create", "orders/1");
    action.set_param("amount", json(12.5));
    const SessionState session = SessionState::create();
    const EnvContext env{ostrel_util::IpAddr::parse("10.1.2.3"), {}, DeviceFingerprint{"d", {}}};
    const ActionContext a = ActionContext::create(p, action, session, env);
    const ActionContext b = ActionContext::create(p, action, session, env);
    EXPECT_EQ(a.evaluation_id.version(), 4u);
    EXPECT_NE(a.evaluation_id, b.evaluation_id);
    EXPECT_GE(a.timestamp, before);
    EXPECT_LE(a.timestamp, b.timestamp);
    EXPECT_EQ(a.principal, p);
    EXPECT_EQ(a.action, action);
    EXPECT_EQ(a.session, session);
    EXPECT_EQ(a.environment, env);
    const ActionContext copy = a;
    EXPECT_EQ(copy.evaluation_id, a.evaluation_id);
    EXPECT_EQ(copy.action.param_as_f64("amount"), 12.5);
}

}  // namespace
