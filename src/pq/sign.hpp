// Hybrid signatures over arbitrary payloads.
//
// Every signature is an ML-DSA-65 signature (FIPS 204, empty context,
// deterministic); a hybrid signer adds an Ed25519 signature (RFC 8032) of the
// same message. The message binds the payload to a fresh nonce and to the
// signing time:
//
//   payload bytes || nonce text (36 bytes) || signing time as RFC 3339 UTC
//   with "+00:00" and the fraction rule (none, 3, 6 or 9 digits)
//
// with no separators. The result travels as a self-contained SignedPayload.
// Verification proves only who signed; key ids, signing times and nonce
// replay are the caller's concern (see verdict.hpp for the replay guard).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "pq/error.hpp"
#include "pq/keys.hpp"
#include "util/json.hpp"
#include "util/secret_buffer.hpp"
#include "util/time.hpp"

namespace ostrel_pq {

// JSON keys in this order: "data", "ml_dsa_signature", "ed25519_signature"
// (null when absent), "key_id", "signed_at", "nonce".
struct SignedPayload {
    Bytes data;
    Bytes ml_dsa_signature;
    std::optional<Bytes> ed25519_signature;
    std::string key_id;
    Timestamp signed_at;
    std::string nonce;

    void write_json(ostrel_util::JsonWriter& w) const;
    std::string to_json() const;
    // Unknown keys are ignored; "ed25519_signature" may be null or missing.
    static std::expected<SignedPayload, ostrel_util::JsonError> from_json_value(const nlohmann::json& v);
    static std::expected<SignedPayload, ostrel_util::JsonError> from_json(std::string_view text);

    bool operator==(const SignedPayload&) const = default;
};

// The message both schemes sign.
Bytes compose_message(std::span<const std::uint8_t> data, std::string_view nonce, const Timestamp& signed_at);

class Signer {
public:
    // Copies the key pair's ML-DSA seed and id, and in hybrid mode its Ed25519
    // seed. Checks nothing; an expired key pair still signs.
    static Signer from_keypair(const OstrelKeyPair& keypair, bool hybrid);

    // Errors: KeyGeneration "ML-DSA seed must be 32 bytes, got {}", Signing
    // "ML-DSA-65: {}" and "Ed25519 seed must be 32 bytes, got {}".
    std::expected<SignedPayload, PqError> sign(std::span<const std::uint8_t> data) const;

    const std::string& key_id() const noexcept { return key_id_; }
    bool is_hybrid() const noexcept { return hybrid_; }

private:
    Signer(SecretBytes ml_dsa_seed, std::string key_id, std::optional<SecretBytes> ed25519_seed, bool hybrid)
        : ml_dsa_seed_(std::move(ml_dsa_seed)),
          key_id_(std::move(key_id)),
          ed25519_seed_(std::move(ed25519_seed)),
          hybrid_(hybrid) {}
    SecretBytes ml_dsa_seed_;
    std::string key_id_;
    std::optional<SecretBytes> ed25519_seed_;
    bool hybrid_;
};

class Verifier {
public:
    // Copies the bundle's ML-DSA verifying key, and in hybrid mode its Ed25519
    // verifying key. Checks nothing.
    static Verifier from_bundle(const PublicKeyBundle& bundle, bool hybrid);

    // Checks, stopping at the first failure: the verifying key decodes (the
    // KeyGeneration error of load_ml_dsa_verifying_key), the ML-DSA signature
    // is 3309 bytes, decodes and verifies; in hybrid mode the Ed25519
    // signature is present, the key is 32 bytes and a curve point, the
    // signature is 64 bytes and verifies. All other failures are
    // VerificationFailed.
    std::expected<void, PqError> verify(const SignedPayload& payload) const;

    bool is_hybrid() const noexcept { return hybrid_; }

private:
    Verifier(Bytes ml_dsa_vk, std::optional<Bytes> ed25519_vk, bool hybrid)
        : ml_dsa_vk_(std::move(ml_dsa_vk)), ed25519_vk_(std::move(ed25519_vk)), hybrid_(hybrid) {}
    Bytes ml_dsa_vk_;
    std::optional<Bytes> ed25519_vk_;
    bool hybrid_;
};

}  // namespace ostrel_pq
