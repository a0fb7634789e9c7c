// Error values of the decision core. `display()` renders the exact text.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <variant>

namespace ostrel_core {

class PolicyError {
public:
    enum class Kind : std::uint8_t { Parse, UnknownCondition, Conflict };

    // "policy parse error: {}"
    static PolicyError parse(std::string message);
    // "unknown condition type: {}"
    static PolicyError unknown_condition(std::string name);
    // "conflicting policies: {} and {}"
    static PolicyError conflict(std::string first, std::string second);

    Kind kind() const noexcept { return kind_; }
    const std::string& detail() const noexcept { return detail_; }
    const std::string& detail2() const noexcept { return detail2_; }
    std::string display() const;

    bool operator==(const PolicyError&) const = default;

private:
    PolicyError(Kind k, std::string d, std::string d2 = {})
        : kind_(k), detail_(std::move(d)), detail2_(std::move(d2)) {}
    Kind kind_;
    std::string detail_;
    std::string detail2_;
};

class IdentityError {
public:
    enum class Kind : std::uint8_t {
        CredentialsMissing,
        CredentialsExpired,
        PrincipalNotRecognized,
        ContextMismatch,
        DeviceFingerprintMismatch,
    };

    // "credentials missing"
    static IdentityError credentials_missing();
    // "credentials expired at {}"
    static IdentityError credentials_expired(std::string at);
    // "principal not recognized: {}"
    static IdentityError principal_not_recognized(std::string principal);
    // "context mismatch: expected {}, got {}"
    static IdentityError context_mismatch(std::string expected, std::string got);
    // "device fingerprint mismatch"
    static IdentityError device_fingerprint_mismatch();

    Kind kind() const noexcept { return kind_; }
    const std::string& detail() const noexcept { return detail_; }
    const std::string& detail2() const noexcept { return detail2_; }
    std::string display() const;

    bool operator==(const IdentityError&) const = default;

private:
    IdentityError(Kind k, std::string d = {}, std::string d2 = {})
        : kind_(k), detail_(std::move(d)), detail2_(std::move(d2)) {}
    Kind kind_;
    std::string detail_;
    std::string detail2_;
};

// The general error of the decision core.
class OstrelError {
public:
    enum class Kind : std::uint8_t {
        Policy,
        Identity,
        Config,
        Execution,
        Audit,
        InvariantViolation,
        Io,
        Serialization,
    };

    // "policy error: {}"
    static OstrelError policy(PolicyError e);
    // "identity error: {}"
    static OstrelError identity(IdentityError e);
    // "config error: {}"
    static OstrelError config(std::string message);
    // "execution error: {}"
    static OstrelError execution(std::string message);
    // "audit error: {}"
    static OstrelError audit(std::string message);
    // "invariant violation: {}, {}"
    static OstrelError invariant_violation(std::string name, std::string detail);
    // "io error: {}" with the operating system's description of `ec`.
    static OstrelError io(std::error_code ec);
    // "io error: {}" with an already rendered description.
    static OstrelError io(std::string message);
    // "serialization error: {}"
    static OstrelError serialization(std::string message);

    Kind kind() const noexcept { return kind_; }
    // The nested error for Kind::Policy / Kind::Identity, else nullptr.
    const PolicyError* policy_error() const noexcept { return std::get_if<PolicyError>(&payload_); }
    const IdentityError* identity_error() const noexcept { return std::get_if<IdentityError>(&payload_); }
    // The text payload (first string for InvariantViolation); empty for the
    // nested kinds.
    const std::string& detail() const noexcept;
    // The second string of InvariantViolation, else empty.
    const std::string& detail2() const noexcept;
    std::string display() const;

    bool operator==(const OstrelError&) const = default;

private:
    struct Texts {
        std::string first;
        std::string second;
        bool operator==(const Texts&) const = default;
    };
    OstrelError(Kind k, std::variant<Texts, PolicyError, IdentityError> p) : kind_(k), payload_(std::move(p)) {}
    Kind kind_;
    std::variant<Texts, PolicyError, IdentityError> payload_;
};

}  // namespace ostrel_core
