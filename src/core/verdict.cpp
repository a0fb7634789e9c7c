#include "core/verdict.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

namespace ostrel_core {
namespace {

using nlohmann::json;
using ostrel_util::JsonWriter;
using ostrel_util::ObjectReader;

constexpr std::array<std::string_view, 8> kCodeNames = {
    "IDENTITY_FAILED",  "POLICY_DENIED",       "NO_POLICY_MATCH", "RATE_LIMIT_EXCEEDED",
    "SESSION_INVALID",  "INVARIANT_VIOLATION", "DRIFT_DETECTED",  "PERMIT_EXPIRED",
};

constexpr std::array<std::string_view, 3> kTargetKeys = {"session", "principal", "role"};

void append_le64(std::vector<std::uint8_t>& out, std::int64_t v) {
    auto u = static_cast<std::uint64_t>(v);
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<std::uint8_t>(u & 0xff));
        u >>= 8;
    }
}

// A string in double quotes with backslash escapes for the quote, the
// backslash and control characters; other characters as themselves.
void append_debug_quoted(std::string& out, std::string_view s) {
    out.push_back('"');
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[12];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
}

}  // namespace

std::string_view refuse_code_text(RefuseCode code) noexcept {
    const auto i = static_cast<std::size_t>(code);
    return i < kCodeNames.size() ? kCodeNames[i] : std::string_view("UNKNOWN");
}

std::optional<RefuseCode> parse_refuse_code(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kCodeNames.size(); ++i)
        if (kCodeNames[i] == text) return static_cast<RefuseCode>(i);
    return std::nullopt;
}

// ---- PermitToken ----------------------------------------------------------

PermitToken PermitToken::create(const Uuid& evaluation_id, std::string action_name) {
    PermitToken t;
    t.token_id = Uuid::new_v4();
    t.evaluation_id = evaluation_id;
    t.issued_at = ostrel_util::now();
    const auto expires = t.issued_at.checked_add_seconds(kValiditySeconds);
    if (!expires) {
        // Only reachable with a system clock beyond the year 9999.
        std::fputs("ostrel: DateTime + TimeDelta overflowed while issuing a permit token\n", stderr);
        std::abort();
    }
    t.expires_at = *expires;
    t.action_name = std::move(action_name);
    return t;
}

void PermitToken::append_canonical_bytes(std::vector<std::uint8_t>& out) const {
    out.reserve(out.size() + kCanonicalHeaderSize + action_name.size());
    out.insert(out.end(), token_id.bytes().begin(), token_id.bytes().end());
    out.insert(out.end(), evaluation_id.bytes().begin(), evaluation_id.bytes().end());
    append_le64(out, issued_at.unix_seconds());
    append_le64(out, expires_at.unix_seconds());
    out.insert(out.end(), action_name.begin(), action_name.end());
}

std::vector<std::uint8_t> PermitToken::canonical_bytes() const {
    std::vector<std::uint8_t> out;
    append_canonical_bytes(out);
    return out;
}

// ---- RefuseReason ---------------------------------------------------------

std::string RefuseReason::to_string() const {
    const auto code_text = refuse_code_text(code);
    std::string s;
    s.reserve(code_text.size() + evaluator.size() + reason.size() + 5);
    s += '[';
    s.append(code_text);
    s += "] ";
    s += evaluator;
    s += ": ";
    s += reason;
    return s;
}

// ---- InvalidationTarget ---------------------------------------------------

InvalidationTarget InvalidationTarget::session(const Uuid& session_id) { return {Kind::Session, session_id, {}}; }
InvalidationTarget InvalidationTarget::principal(std::string principal_id) {
    return {Kind::Principal, Uuid(), std::move(principal_id)};
}
InvalidationTarget InvalidationTarget::role(std::string role_name) { return {Kind::Role, Uuid(), std::move(role_name)}; }

std::string InvalidationTarget::to_string() const {
    std::string s;
    switch (kind_) {
        case Kind::Session:
            s = "Session(";
            session_.append_to(s);
            break;
        case Kind::Principal:
            s = "Principal(";
            append_debug_quoted(s, name_);
            break;
        case Kind::Role:
            s = "Role(";
            append_debug_quoted(s, name_);
            break;
    }
    s += ')';
    return s;
}

void InvalidationTarget::write_json(JsonWriter& w) const {
    w.begin_object();
    w.key(kTargetKeys[static_cast<std::size_t>(kind_)]);
    if (kind_ == Kind::Session) {
        w.value(session_);
    } else {
        w.value(name_);
    }
    w.end_object();
}

std::string InvalidationTarget::to_json() const {
    JsonWriter w;
    write_json(w);
    return w.take();
}

std::expected<InvalidationTarget, JsonError> InvalidationTarget::from_json_value(const json& v) {
    auto variant = ostrel_util::read_variant(v, kTargetKeys, "an InvalidationTarget");
    if (!variant) return std::unexpected(std::move(variant.error()));
    const std::string_view key = kTargetKeys[variant->index];
    switch (variant->index) {
        case 0: {
            auto id = ostrel_util::json_to_uuid(*variant->payload, key);
            if (!id) return std::unexpected(std::move(id.error()));
            return session(*id);
        }
        default: {
            auto text = ostrel_util::json_to_string(*variant->payload, key);
            if (!text) return std::unexpected(std::move(text.error()));
            return variant->index == 1 ? principal(std::move(*text)) : role(std::move(*text));
        }
    }
}

// ---- InvalidationScope ----------------------------------------------------

std::string InvalidationScope::to_string() const {
    std::string s = "invalidate ";
    s += target.to_string();
    s += " by ";
    s += evaluator;
    s += ": ";
    s += reason;
    return s;
}

void InvalidationScope::write_json(JsonWriter& w) const {
    w.begin_object();
    w.key("target");
    target.write_json(w);
    w.field("reason", reason);
    w.field("evaluator", evaluator);
    w.end_object();
}

std::string InvalidationScope::to_json() const {
    JsonWriter w;
    write_json(w);
    return w.take();
}

std::expected<InvalidationScope, JsonError> InvalidationScope::from_json_value(const json& v) {
    auto r = ObjectReader::open(v, "an object InvalidationScope");
    if (!r) return std::unexpected(std::move(r.error()));
    auto target_value = r->require("target");
    if (!target_value) return std::unexpected(std::move(target_value.error()));
    auto target = InvalidationTarget::from_json_value(**target_value);
    if (!target) return std::unexpected(std::move(target.error()));
    auto reason = r->string("reason");
    if (!reason) return std::unexpected(std::move(reason.error()));
    auto evaluator = r->string("evaluator");
    if (!evaluator) return std::unexpected(std::move(evaluator.error()));
    return InvalidationScope{std::move(*target), std::move(*reason), std::move(*evaluator)};
}

std::expected<InvalidationScope, JsonError> InvalidationScope::from_json(std::string_view text) {
    auto v = ostrel_util::parse_json(text);
    if (!v) return std::unexpected(std::move(v.error()));
    return from_json_value(*v);
}

}  // namespace ostrel_core
