// What an evaluation produces: a `Verdict` is exactly one of Permit (with a
// `PermitToken`), Refuse (with a `RefuseReason`) or Invalidate (with an
// `InvalidationScope`).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "util/json.hpp"
#include "util/time.hpp"
#include "util/uuid.hpp"

namespace ostrel_core {

using ostrel_util::JsonError;
using ostrel_util::Timestamp;
using ostrel_util::Uuid;

// Machine-readable refusal categories; one byte, declaration order fixed.
enum class RefuseCode : std::uint8_t {
    IdentityFailed = 0,
    PolicyDenied = 1,
    NoPolicyMatch = 2,
    RateLimitExceeded = 3,
    SessionInvalid = 4,
    InvariantViolation = 5,
    DriftDetected = 6,
    PermitExpired = 7,
};

// "IDENTITY_FAILED", "POLICY_DENIED", ... (upper-case words).
std::string_view refuse_code_text(RefuseCode code) noexcept;
std::optional<RefuseCode> parse_refuse_code(std::string_view text) noexcept;

// Proof that the gate ran. Valid for 30 seconds from issue.
struct PermitToken {
    static constexpr std::int64_t kValiditySeconds = 30;
    // Length of canonical_bytes() without the action name.
    static constexpr std::size_t kCanonicalHeaderSize = 48;

    Uuid token_id;
    Uuid evaluation_id;
    Timestamp issued_at;
    Timestamp expires_at;
    std::string action_name;
    std::optional<std::vector<std::uint8_t>> signature;

    // Fresh v4 token id, issued now, expiring exactly 30 s later, unsigned.
    static PermitToken create(const Uuid& evaluation_id, std::string action_name);

    // token_id (16) | evaluation_id (16) | issued_at seconds (i64 LE) |
    // expires_at seconds (i64 LE) | action name bytes. Sub-second parts are
    // dropped (rounded down). The signature is not included.
    std::vector<std::uint8_t> canonical_bytes() const;
    void append_canonical_bytes(std::vector<std::uint8_t>& out) const;

    bool operator==(const PermitToken&) const = default;
};

struct RefuseReason {
    std::string evaluator;
    std::string reason;
    Uuid evaluation_id;
    RefuseCode code = RefuseCode::PolicyDenied;

    // "[{code}] {evaluator}: {reason}"
    std::string to_string() const;

    bool operator==(const RefuseReason&) const = default;
};

// What an invalidation revokes: a session, a principal or a role.
class InvalidationTarget {
public:
    enum class Kind : std::uint8_t { Session, Principal, Role };

    static InvalidationTarget session(const Uuid& session_id);
    static InvalidationTarget principal(std::string principal_id);
    static InvalidationTarget role(std::string role_name);

    Kind kind() const noexcept { return kind_; }
    // The session id (meaningful for Kind::Session only).
    const Uuid& session_id() const noexcept { return session_; }
    // The principal id or role name (empty for Kind::Session).
    const std::string& name() const noexcept { return name_; }

    // Debug text: Session(<uuid>), Principal("p-1"), Role("admin"); string
    // payloads quoted with backslash escapes.
    std::string to_string() const;

    // {"session":"<uuid>"} / {"principal":".."} / {"role":".."}
    void write_json(ostrel_util::JsonWriter& w) const;
    std::string to_json() const;
    // Exactly one key, "session", "principal" or "role"; any other key is an
    // unknown-variant error.
    static std::expected<InvalidationTarget, JsonError> from_json_value(const nlohmann::json& v);

    bool operator==(const InvalidationTarget&) const = default;

private:
    InvalidationTarget(Kind k, const Uuid& s, std::string n) : kind_(k), session_(s), name_(std::move(n)) {}
    Kind kind_;
    Uuid session_;
    std::string name_;
};

struct InvalidationScope {
    InvalidationTarget target;
    std::string reason;
    std::string evaluator;

    // "invalidate {target debug text} by {evaluator}: {reason}"
    std::string to_string() const;

    // {"target":{..},"reason":"..","evaluator":".."}
    void write_json(ostrel_util::JsonWriter& w) const;
    std::string to_json() const;
    // Requires all three keys; unknown keys ignored; repeated keys rejected.
    static std::expected<InvalidationScope, JsonError> from_json_value(const nlohmann::json& v);
    static std::expected<InvalidationScope, JsonError> from_json(std::string_view text);

    bool operator==(const InvalidationScope&) const = default;
};

class Verdict {
public:
    enum class Kind : std::uint8_t { Permit, Refuse, Invalidate };

    Verdict(PermitToken token) : value_(std::move(token)) {}
    Verdict(RefuseReason reason) : value_(std::move(reason)) {}
    Verdict(InvalidationScope scope) : value_(std::move(scope)) {}

    static Verdict refuse(std::string evaluator, std::string reason, const Uuid& evaluation_id,
                          RefuseCode code) {
        return Verdict(RefuseReason{std::move(evaluator), std::move(reason), evaluation_id, code});
    }

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
    bool is_permit() const noexcept { return value_.index() == 0; }
    bool is_refuse() const noexcept { return value_.index() == 1; }
    bool is_invalidate() const noexcept { return value_.index() == 2; }

    // The payload of the matching case, or nullptr.
    const PermitToken* permit() const noexcept { return std::get_if<PermitToken>(&value_); }
    PermitToken* permit() noexcept { return std::get_if<PermitToken>(&value_); }
    const RefuseReason* refusal() const noexcept { return std::get_if<RefuseReason>(&value_); }
    const InvalidationScope* invalidation() const noexcept { return std::get_if<InvalidationScope>(&value_); }

    const std::variant<PermitToken, RefuseReason, InvalidationScope>& value() const noexcept { return value_; }

    bool operator==(const Verdict&) const = default;

private:
    std::variant<PermitToken, RefuseReason, InvalidationScope> value_;
};

}  // namespace ostrel_core
