// Signed payloads with a replay guard.
//
// VerdictSigner is a hybrid Signer built from the local key pair.
// VerdictVerifier wraps a Verifier with the set of nonces it has accepted, so
// a captured payload cannot be played back to the same receiver, and checks
// that a payload was sent for the context the receiver expects.
//
// The nonce cache holds the nonces of payloads whose signature verified. It
// is bounded by emptying it completely when it grows past
// max_tracked_nonces (with a warning event on target ostrel_pq::verdict),
// not by evicting old entries. Signature checks run in parallel; lookup,
// insert and clear run under one write lock, so of two concurrent
// presentations of one payload exactly one succeeds.
#pragma once

#include <cstddef>
#include <expected>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

#include "pq/error.hpp"
#include "pq/keys.hpp"
#include "pq/sign.hpp"

namespace ostrel_pq {

inline constexpr std::string_view kVerdictLogTarget = "ostrel_pq::verdict";
inline constexpr std::string_view kNonceCacheClearedMessage =
    "nonce cache cleared, consider increasing max_tracked_nonces";

class VerdictSigner {
public:
    explicit VerdictSigner(const OstrelKeyPair& keypair) : signer_(Signer::from_keypair(keypair, /*hybrid=*/true)) {}

    std::expected<SignedPayload, PqError> sign(std::span<const std::uint8_t> data) const { return signer_.sign(data); }
    const Signer& signer() const noexcept { return signer_; }
    const std::string& key_id() const noexcept { return signer_.key_id(); }

private:
    Signer signer_;
};

class VerdictVerifier {
public:
    VerdictVerifier(Verifier verifier, std::size_t max_tracked_nonces)
        : verifier_(std::move(verifier)), max_tracked_nonces_(max_tracked_nonces) {}

    // A hybrid verifier of the remote party's bundle.
    static VerdictVerifier from_bundle(const PublicKeyBundle& bundle, std::size_t max_tracked_nonces) {
        return VerdictVerifier(Verifier::from_bundle(bundle, /*hybrid=*/true), max_tracked_nonces);
    }

    VerdictVerifier(const VerdictVerifier&) = delete;
    VerdictVerifier& operator=(const VerdictVerifier&) = delete;
    VerdictVerifier(VerdictVerifier&& other) noexcept;

    // Verifies the signature (its error is returned unchanged and the cache
    // is untouched), then records the nonce; a nonce already recorded is
    // ReplayDetected.
    std::expected<void, PqError> check_signature_and_replay(const SignedPayload& payload);

    // check_signature_and_replay, then the context ids must be equal byte for
    // byte (VerificationFailed "signed payload context is '{}', expected
    // '{}'", the nonce staying recorded); returns a copy of the data.
    std::expected<Bytes, PqError> verify_bytes(const SignedPayload& payload, std::string_view context_id,
                                               std::string_view expected_context_id);

    std::size_t max_tracked_nonces() const noexcept { return max_tracked_nonces_; }
    // Number of nonces currently remembered.
    std::size_t tracked_nonces() const;

private:
    Verifier verifier_;
    std::size_t max_tracked_nonces_;
    mutable std::mutex mu_;
    std::unordered_set<std::string> nonces_;
};

}  // namespace ostrel_pq
