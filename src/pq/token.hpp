// Permit-token signing: PqTokenSigner signs a PermitToken's canonical bytes
// with ML-DSA-65 (FIPS 204, empty context, deterministic) and in hybrid mode
// also with Ed25519, and wraps the signatures in a SignedTokenEnvelope whose
// JSON bytes become the token's signature. Token signatures carry no nonce or
// time of their own: the canonical bytes already hold the token id and its
// issue and expiry times.
//
// Downgrade guard: a hybrid verifier accepts only "ml-dsa-65+ed25519"
// envelopes, a PQ-only verifier only "ml-dsa-65" ones (exact, case-sensitive).
//
// DirectoryTokenVerifier resolves the envelope's key id through a
// PublicKeyDirectory and can refuse keys whose bundle has expired.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/token_signer.hpp"
#include "core/verdict.hpp"
#include "pq/directory.hpp"
#include "pq/error.hpp"
#include "pq/keys.hpp"
#include "util/json.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq {

inline constexpr std::string_view kAlgorithmPqOnly = "ml-dsa-65";
inline constexpr std::string_view kAlgorithmHybrid = "ml-dsa-65+ed25519";

// JSON keys in this order: "key_id", "algorithm", "ml_dsa_signature", and in
// hybrid mode "ed25519_signature" (omitted entirely otherwise). On input
// "ed25519_signature" may be missing or null; unknown keys are ignored.
struct SignedTokenEnvelope {
    std::string key_id;
    std::string algorithm;
    Bytes ml_dsa_signature;
    std::optional<Bytes> ed25519_signature;

    std::string to_json() const;
    static std::expected<SignedTokenEnvelope, ostrel_util::JsonError> from_json(std::string_view text);

    bool operator==(const SignedTokenEnvelope&) const = default;
};

class PqTokenSigner final : public ostrel_core::TokenSigner {
public:
    // Store the bytes they are given; nothing is validated until use.
    static std::shared_ptr<PqTokenSigner> pq_only(SecretBytes ml_dsa_seed, Bytes ml_dsa_verifying_key,
                                                  std::string key_id);
    static std::shared_ptr<PqTokenSigner> hybrid(SecretBytes ml_dsa_seed, Bytes ml_dsa_verifying_key,
                                                 SecretBytes ed25519_seed, Bytes ed25519_verifying_key,
                                                 std::string key_id);
    // From a key pair's seeds and verifying keys; the key id is `key_id` when
    // given, else the key pair's id.
    static std::shared_ptr<PqTokenSigner> from_keypair(const OstrelKeyPair& keypair, bool hybrid,
                                                       std::optional<std::string> key_id = std::nullopt);

    // The envelope JSON bytes. Errors are OstrelError Serialization whose
    // detail is a PqError's displayed text.
    std::expected<std::vector<std::uint8_t>, ostrel_core::OstrelError> sign(
        const ostrel_core::PermitToken& token) const override;
    // Checks an envelope against this signer's own keys. The envelope's key
    // id is not compared.
    std::expected<void, ostrel_core::OstrelError> verify(const ostrel_core::PermitToken& token,
                                                         std::span<const std::uint8_t> signature) const override;

    const std::string& key_id() const noexcept { return key_id_; }
    bool is_hybrid() const noexcept { return hybrid_; }

    PqTokenSigner(SecretBytes ml_dsa_seed, Bytes ml_dsa_vk, std::optional<SecretBytes> ed25519_seed,
                  std::optional<Bytes> ed25519_vk, std::string key_id, bool hybrid)
        : ml_dsa_seed_(std::move(ml_dsa_seed)),
          ml_dsa_vk_(std::move(ml_dsa_vk)),
          ed25519_seed_(std::move(ed25519_seed)),
          ed25519_vk_(std::move(ed25519_vk)),
          key_id_(std::move(key_id)),
          hybrid_(hybrid) {}

private:
    SecretBytes ml_dsa_seed_;
    Bytes ml_dsa_vk_;
    std::optional<SecretBytes> ed25519_seed_;
    std::optional<Bytes> ed25519_vk_;
    std::string key_id_;
    bool hybrid_;
};

class DirectoryVerifyError {
public:
    enum class Kind : std::uint8_t { EnvelopeParse, AlgorithmMismatch, Directory, SignatureInvalid, BundleExpired };

    // "token envelope parse: {}"
    static DirectoryVerifyError envelope_parse(std::string m) { return {Kind::EnvelopeParse, std::move(m)}; }
    // "algorithm mismatch: {}"
    static DirectoryVerifyError algorithm_mismatch(std::string m) { return {Kind::AlgorithmMismatch, std::move(m)}; }
    // The directory error's own text.
    static DirectoryVerifyError directory(KeyDirectoryError e) {
        DirectoryVerifyError out{Kind::Directory, {}};
        out.directory_ = std::move(e);
        return out;
    }
    // "signature verification failed: {}"
    static DirectoryVerifyError signature_invalid(std::string m) { return {Kind::SignatureInvalid, std::move(m)}; }
    // "keypair expired: bundle '{}' expired at {}" (expiry as "2025-01-02 03:04:05.500 UTC")
    static DirectoryVerifyError bundle_expired(std::string key_id, Timestamp expired_at) {
        DirectoryVerifyError out{Kind::BundleExpired, std::move(key_id)};
        out.expired_at_ = expired_at;
        return out;
    }

    Kind kind() const noexcept { return kind_; }
    // The text payload (the key id for BundleExpired).
    const std::string& detail() const noexcept { return detail_; }
    const std::optional<KeyDirectoryError>& directory_error() const noexcept { return directory_; }
    std::string display() const;

    bool operator==(const DirectoryVerifyError&) const = default;

private:
    DirectoryVerifyError(Kind k, std::string d) : kind_(k), detail_(std::move(d)) {}
    Kind kind_;
    std::string detail_;
    std::optional<KeyDirectoryError> directory_;
    Timestamp expired_at_;
};

class DirectoryTokenVerifier {
public:
    DirectoryTokenVerifier(std::shared_ptr<const PublicKeyDirectory> directory, bool hybrid)
        : directory_(std::move(directory)), hybrid_(hybrid) {}

    // Parses the envelope, applies the algorithm gate, fetches the bundle for
    // the envelope's key id, refuses an expired bundle when `enforce_expiry`
    // is set, then checks the signatures against the bundle's keys. The
    // lookup completes on the calling thread; no lock of this object is held.
    std::expected<void, DirectoryVerifyError> verify_with_expiry(const ostrel_core::PermitToken& token,
                                                                 std::span<const std::uint8_t> signature,
                                                                 bool enforce_expiry) const;

    const std::shared_ptr<const PublicKeyDirectory>& directory() const noexcept { return directory_; }
    bool is_hybrid() const noexcept { return hybrid_; }

private:
    std::shared_ptr<const PublicKeyDirectory> directory_;
    bool hybrid_;
};

}  // namespace ostrel_pq
