#include "core/verdict.hpp"

#include <gtest/gtest.h>

#include <set>

#include "core/error.hpp"

using namespace ostrel_core;

namespace {

Timestamp at(std::int64_t s, std::uint32_t n = 0) { return Timestamp::from_unix(s, n).value(); }
Uuid uuid(const char* text) { return Uuid::parse(text).value(); }

const char* kSession = "67e55044-10b1-426f-9247-bb680e5fe0c8";

TEST(RefuseCode, EightUpperCaseCodesInDeclarationOrder) {
    static_assert(sizeof(RefuseCode) == 1);
    const char* names[] = {"IDENTITY_FAILED",  "POLICY_DENIED",       "NO_POLICY_MATCH", "RATE_LIMIT_EXCEEDED",
                           "SESSION_INVALID",  "INVARIANT_VIOLATION", "DRIFT_DETECTED",  "PERMIT_EXPIRED"};
    for (std::uint8_t i = 0; i < 8; ++i) {
        const auto code = static_cast<RefuseCode>(i);
        EXPECT_EQ(refuse_code_text(code), names[i]);
        EXPECT_EQ(parse_refuse_code(names[i]), code);
    }
    EXPECT_EQ(static_cast<int>(RefuseCode::SessionInvalid), 4);
    EXPECT_EQ(parse_refuse_code("session_invalid"), std::nullopt);
}

TEST(RefuseReason, TextForm) {
    const RefuseReason r{"gate", "session has been invalidated", Uuid::new_v4(), RefuseCode::SessionInvalid};
    EXPECT_EQ(r.to_string(), "[SESSION_INVALID] gate: session has been invalidated");
    const RefuseReason p{"policy", "no policy matched", Uuid(), RefuseCode::NoPolicyMatch};
    EXPECT_EQ(p.to_string(), "[NO_POLICY_MATCH] policy: no policy matched");
}

TEST(PermitToken, CanonicalBytesLayout) {
    PermitToken t;
    t.token_id = uuid("00112233-4455-6677-8899-aabbccddeeff");
    t.evaluation_id = uuid("ffeeddcc-bbaa-9988-7766-554433221100");
    t.issued_at = at(0x0102030405, 999'999'999);
    t.expires_at = at(0x0102030405 + 30, 999'999'999);
    t.action_name = "ab";
    t.signature = std::vector<std::uint8_t>{9, 9, 9};
    const std::vector<std::uint8_t> expected = {
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff,  // token_id
        0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00,  // evaluation_id
        0x05, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00,  // issued_at, seconds only
        0x23, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00,  // expires_at
        'a', 'b'};
    EXPECT_EQ(t.canonical_bytes(), expected);
}

TEST(PermitToken, CanonicalTimesAreWholeSecondsRoundedDown) {
    PermitToken t;
    t.issued_at = at(1, 999'000'000);  // 1970-01-01T00:00:01.999Z
    t.expires_at = at(-1, 500'000'000);  // half a second before the epoch
    const auto bytes = t.canonical_bytes();
    ASSERT_EQ(bytes.size(), 48u) << "empty action name";
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 32, bytes.begin() + 40),
              (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 40, bytes.end()), std::vector<std::uint8_t>(8, 0xff));

    PermitToken u = t;
    u.issued_at = at(1, 0);
    u.expires_at = at(-1, 999'999'999);
    u.signature = std::vector<std::uint8_t>{1};
    EXPECT_EQ(u.canonical_bytes(), bytes) << "sub-second parts and the signature are not signed";
}

TEST(PermitToken, CreateIssuesAFreshUnsignedTokenValidThirtySeconds) {
    const Uuid eval = Uuid::new_v4();
    std::set<Uuid> ids;
    for (int i = 0; i < 100; ++i) {
        const PermitToken t = PermitToken::create(eval, "orders.create");
        EXPECT_EQ(t.expires_at.unix_seconds() - t.issued_at.unix_seconds(), 30);
        EXPECT_EQ(t.expires_at.subsec_nanos(), t.issued_at.subsec_nanos());
        EXPECT_EQ(t.evaluation_id, eval);
        EXPECT_EQ(t.action_name, "orders.create");
        EXPECT_FALSE(t.signature.has_value());
        EXPECT_EQ(t.token_id.version(), 4u);
        EXPECT_EQ(t.canonical_bytes().size(), 48u + 13u);
        ids.insert(t.token_id);
    }
    EXPECT_EQ(ids.size(), 100u);
}

TEST(InvalidationTarget, DebugTextQuotesAndEscapesStrings) {
    EXPECT_EQ(InvalidationTarget::session(uuid(kSession)).to_string(), std::string("Session(") + kSession + ")");
    EXPECT_EQ(InvalidationTarget::principal("p-1").to_string(), "Principal(\"p-1\")");
    EXPECT_EQ(InvalidationTarget::role("ad\"min\\\n\t").to_string(), "Role(\"ad\\\"min\\\\\\n\\t\")");
    EXPECT_EQ(InvalidationTarget::role(std::string("a\x01", 2)).to_string(), "Role(\"a\\u{1}\")");
    EXPECT_EQ(InvalidationTarget::role("\xc3\xa9t\xc3\xa9").to_string(), "Role(\"\xc3\xa9t\xc3\xa9\")");
}

TEST(InvalidationScope, TextForm) {
    const InvalidationScope s{InvalidationTarget::session(uuid(kSession)), "device changed", "drift"};
    EXPECT_EQ(s.to_string(), std::string("invalidate Session(") + kSession + ") by drift: device changed");
    const InvalidationScope p{InvalidationTarget::principal("p-1"), "r", "drift"};
    EXPECT_EQ(p.to_string(), "invalidate Principal(\"p-1\") by drift: r");
}

TEST(InvalidationScope, JsonFormAndRoundTrip) {
    const InvalidationScope p{InvalidationTarget::principal("p-1"), "r", "drift"};
    EXPECT_EQ(p.to_json(), R"({"target":{"principal":"p-1"},"reason":"r","evaluator":"drift"})");
    const InvalidationScope s{InvalidationTarget::session(uuid(kSession)), "new \"device\"", "drift"};
    EXPECT_EQ(s.to_json(),
              std::string(R"({"target":{"session":")") + kSession + R"("},"reason":"new \"device\"","evaluator":"drift"})");
    const InvalidationScope r{InvalidationTarget::role("admin"), "", "invariants"};
    EXPECT_EQ(r.to_json(), R"({"target":{"role":"admin"},"reason":"","evaluator":"invariants"})");
    for (const auto& scope : {p, s, r}) {
        auto back = InvalidationScope::from_json(scope.to_json());
        ASSERT_TRUE(back.has_value()) << back.error().message;
        EXPECT_EQ(*back, scope);
    }
}

TEST(InvalidationScope, ReadingAcceptsAnyKeyOrderAndIgnoresUnknownKeys) {
    auto s = InvalidationScope::from_json(
        R"({"evaluator":"drift","extra":[1,2],"reason":"r","target":{"session":"67E55044-10B1-426F-9247-BB680E5FE0C8"}})");
    ASSERT_TRUE(s.has_value()) << s.error().message;
    EXPECT_EQ(s->target, InvalidationTarget::session(uuid(kSession)));
}

TEST(InvalidationScope, ReadingRejectsMalformedMessages) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {R"({"target":{"group":"g"},"reason":"r","evaluator":"e"})",
         "unknown variant `group`, expected one of `session`, `principal`, `role`"},
        {R"({"target":{"role":"a"},"evaluator":"e"})", "missing field `reason`"},
        {R"({"reason":"r","evaluator":"e"})", "missing field `target`"},
        {R"({"target":{"role":"a"},"reason":"r"})", "missing field `evaluator`"},
        {R"({"target":{"role":"a"},"reason":"r","reason":"s","evaluator":"e"})", "duplicate field `reason`"},
    };
    for (const auto& c : cases) {
        auto s = InvalidationScope::from_json(c.text);
        ASSERT_FALSE(s.has_value()) << c.text;
        EXPECT_EQ(s.error().message, c.message);
    }
    for (const char* text : {R"({"target":{},"reason":"r","evaluator":"e"})",
                             R"({"target":{"role":"a","principal":"b"},"reason":"r","evaluator":"e"})",
                             R"({"target":{"session":"nope"},"reason":"r","evaluator":"e"})",
                             R"({"target":{"role":5},"reason":"r","evaluator":"e"})",
                             R"({"target":"role","reason":"r","evaluator":"e"})", "not json"}) {
        EXPECT_FALSE(InvalidationScope::from_json(text).has_value()) << text;
    }
}

TEST(Verdict, ExactlyOnePredicateHolds) {
    const Verdict permit(PermitToken::create(Uuid::new_v4(), "a"));
    const Verdict refuse = Verdict::refuse("policy", "no", Uuid::new_v4(), RefuseCode::PolicyDenied);
    const Verdict invalidate(InvalidationScope{InvalidationTarget::role("r"), "x", "drift"});
    for (const auto* v : {&permit, &refuse, &invalidate})
        EXPECT_EQ(int(v->is_permit()) + int(v->is_refuse()) + int(v->is_invalidate()), 1);
    EXPECT_TRUE(permit.is_permit());
    EXPECT_EQ(permit.kind(), Verdict::Kind::Permit);
    EXPECT_NE(permit.permit(), nullptr);
    EXPECT_EQ(permit.refusal(), nullptr);
    EXPECT_TRUE(refuse.is_refuse());
    EXPECT_EQ(refuse.kind(), Verdict::Kind::Refuse);
    EXPECT_EQ(refuse.refusal()->code, RefuseCode::PolicyDenied);
    EXPECT_TRUE(invalidate.is_invalidate());
    EXPECT_EQ(invalidate.kind(), Verdict::Kind::Invalidate);
    EXPECT_EQ(invalidate.invalidation()->evaluator, "drift");
}

TEST(Errors, DisplayTexts) {
    const std::pair<OstrelError, const char*> cases[] = {
        {OstrelError::policy(PolicyError::parse("bad key")), "policy error: policy parse error: bad key"},
        {OstrelError::policy(PolicyError::unknown_condition("foo")), "policy error: unknown condition type: foo"},
        {OstrelError::policy(PolicyError::conflict("a", "b")), "policy error: conflicting policies: a and b"},
        {OstrelError::identity(IdentityError::credentials_missing()), "identity error: credentials missing"},
        {OstrelError::identity(IdentityError::credentials_expired("2025-01-02 03:04:05 UTC")),
         "identity error: credentials expired at 2025-01-02 03:04:05 UTC"},
        {OstrelError::identity(IdentityError::principal_not_recognized("p")), "identity error: principal not recognized: p"},
        {OstrelError::identity(IdentityError::context_mismatch("x", "y")),
         "identity error: context mismatch: expected x, got y"},
        {OstrelError::identity(IdentityError::device_fingerprint_mismatch()), "identity error: device fingerprint mismatch"},
        {OstrelError::config("c"), "config error: c"},
        {OstrelError::execution("e"), "execution error: e"},
        {OstrelError::audit("a"), "audit error: a"},
        {OstrelError::invariant_violation("max_amount", "too big"), "invariant violation: max_amount, too big"},
        {OstrelError::io(std::string("No such file or directory")), "io error: No such file or directory"},
        {OstrelError::io(std::make_error_code(std::errc::permission_denied)), "io error: Permission denied"},
        {OstrelError::serialization("s"), "serialization error: s"},
    };
    for (const auto& [e, text] : cases) EXPECT_EQ(e.display(), text);
    EXPECT_EQ(PolicyError::parse("m").display(), "policy parse error: m");
    const OstrelError nested = OstrelError::policy(PolicyError::conflict("a", "b"));
    ASSERT_NE(nested.policy_error(), nullptr);
    EXPECT_EQ(nested.policy_error()->detail2(), "b");
    EXPECT_EQ(nested.identity_error(), nullptr);
    EXPECT_EQ(OstrelError::serialization("s").kind(), OstrelError::Kind::Serialization);
    EXPECT_EQ(OstrelError::serialization("s").detail(), "s");
}

}  // namespace
