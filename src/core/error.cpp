#include "core/error.hpp"

namespace ostrel_core {

PolicyError PolicyError::parse(std::string message) { return {Kind::Parse, std::move(message)}; }
PolicyError PolicyError::unknown_condition(std::string name) { return {Kind::UnknownCondition, std::move(name)}; }
PolicyError PolicyError::conflict(std::string first, std::string second) {
    return {Kind::Conflict, std::move(first), std::move(second)};
}

std::string PolicyError::display() const {
    switch (kind_) {
        case Kind::Parse: return "policy parse error: " + detail_;
        case Kind::UnknownCondition: return "unknown condition type: " + detail_;
        case Kind::Conflict: return "conflicting policies: " + detail_ + " and " + detail2_;
    }
    return detail_;
}

IdentityError IdentityError::credentials_missing() { return {Kind::CredentialsMissing}; }
IdentityError IdentityError::credentials_expired(std::string at) { return {Kind::CredentialsExpired, std::move(at)}; }
IdentityError IdentityError::principal_not_recognized(std::string principal) {
    return {Kind::PrincipalNotRecognized, std::move(principal)};
}
IdentityError IdentityError::context_mismatch(std::string expected, std::string got) {
    return {Kind::ContextMismatch, std::move(expected), std::move(got)};
}
IdentityError IdentityError::device_fingerprint_mismatch() { return {Kind::DeviceFingerprintMismatch}; }

std::string IdentityError::display() const {
    switch (kind_) {
        case Kind::CredentialsMissing: return "credentials missing";
        case Kind::CredentialsExpired: return "credentials expired at " + detail_;
        case Kind::PrincipalNotRecognized: return "principal not recognized: " + detail_;
        case Kind::ContextMismatch: return "context mismatch: expected " + detail_ + ", got " + detail2_;
        case Kind::DeviceFingerprintMismatch: return "device fingerprint mismatch";
    }
    return detail_;
}

OstrelError OstrelError::policy(PolicyError e) { return {Kind::Policy, std::move(e)}; }
OstrelError OstrelError::identity(IdentityError e) { return {Kind::Identity, std::move(e)}; }
OstrelError OstrelError::config(std::string m) { return {Kind::Config, Texts{std::move(m), {}}}; }
OstrelError OstrelError::execution(std::string m) { return {Kind::Execution, Texts{std::move(m), {}}}; }
OstrelError OstrelError::audit(std::string m) { return {Kind::Audit, Texts{std::move(m), {}}}; }
OstrelError OstrelError::invariant_violation(std::string name, std::string detail) {
    return {Kind::InvariantViolation, Texts{std::move(name), std::move(detail)}};
}
OstrelError OstrelError::io(std::error_code ec) { return {Kind::Io, Texts{ec.message(), {}}}; }
OstrelError OstrelError::io(std::string m) { return {Kind::Io, Texts{std::move(m), {}}}; }
OstrelError OstrelError::serialization(std::string m) { return {Kind::Serialization, Texts{std::move(m), {}}}; }

const std::string& OstrelError::detail() const noexcept {
    static const std::string empty;
    const auto* t = std::get_if<Texts>(&payload_);
    return t ? t->first : empty;
}

const std::string& OstrelError::detail2() const noexcept {
    static const std::string empty;
    const auto* t = std::get_if<Texts>(&payload_);
    return t ? t->second : empty;
}

std::string OstrelError::display() const {
    switch (kind_) {
        case Kind::Policy: return "policy error: " + std::get<PolicyError>(payload_).display();
        case Kind::Identity: return "identity error: " + std::get<IdentityError>(payload_).display();
        case Kind::Config: return "config error: " + detail();
        case Kind::Execution: return "execution error: " + detail();
        case Kind::Audit: return "audit error: " + detail();
        case Kind::InvariantViolation: return "invariant violation: " + detail() + ", " + detail2();
        case Kind::Io: return "io error: " + detail();
        case Kind::Serialization: return "serialization error: " + detail();
    }
    return detail();
}

}  // namespace ostrel_core
