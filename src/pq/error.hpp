// PqError: the error value of key handling, signatures, encryption, the
// secure channel and the signed audit chain. A kind selects the fixed prefix
// of the displayed text; the detail completes it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace ostrel_pq {

enum class PqErrorKind : std::uint8_t {
    KeyGeneration,
    Signing,
    VerificationFailed,
    Encryption,
    Decryption,
    AuditChainBroken,
    Serialization,
    ReplayDetected,
};

struct PqError {
    PqErrorKind kind = PqErrorKind::Serialization;
    // The text after the kind's prefix; for ReplayDetected it is the nonce.
    std::string detail;
    // Index of the offending entry; meaningful only for AuditChainBroken.
    std::uint64_t entry_index = 0;

    static PqError key_generation(std::string d) { return {PqErrorKind::KeyGeneration, std::move(d), 0}; }
    static PqError signing(std::string d) { return {PqErrorKind::Signing, std::move(d), 0}; }
    static PqError verification_failed(std::string d) {
        return {PqErrorKind::VerificationFailed, std::move(d), 0};
    }
    static PqError encryption(std::string d) { return {PqErrorKind::Encryption, std::move(d), 0}; }
    static PqError decryption(std::string d) { return {PqErrorKind::Decryption, std::move(d), 0}; }
    static PqError audit_chain_broken(std::uint64_t index, std::string d) {
        return {PqErrorKind::AuditChainBroken, std::move(d), index};
    }
    static PqError serialization(std::string d) { return {PqErrorKind::Serialization, std::move(d), 0}; }
    static PqError replay_detected(std::string nonce) {
        return {PqErrorKind::ReplayDetected, std::move(nonce), 0};
    }

    // The user-facing text, e.g. "signing failed: ML-DSA-65: ...".
    std::string display() const {
        switch (kind) {
            case PqErrorKind::KeyGeneration: return "key generation failed: " + detail;
            case PqErrorKind::Signing: return "signing failed: " + detail;
            case PqErrorKind::VerificationFailed: return "signature verification failed: " + detail;
            case PqErrorKind::Encryption: return "encryption failed: " + detail;
            case PqErrorKind::Decryption: return "decryption failed: " + detail;
            case PqErrorKind::AuditChainBroken:
                return "audit chain broken at entry " + std::to_string(entry_index) + ": " + detail;
            case PqErrorKind::Serialization: return "serialization error: " + detail;
            case PqErrorKind::ReplayDetected: return "replay detected: nonce " + detail + " already seen";
        }
        return detail;
    }

    friend bool operator==(const PqError&, const PqError&) = default;
};

}  // namespace ostrel_pq
