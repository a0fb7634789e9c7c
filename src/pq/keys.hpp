// A party's identity: OstrelKeyPair (ML-DSA-65, ML-KEM-768, Ed25519 and
// X25519 key pairs generated together under one key id) and its shareable
// public half, PublicKeyBundle.
//
// Stored forms:
// - secret key blob: "OSSK", version byte 1, compact JSON of the key pair
//   with keys id, created_at, expires_at, ml_dsa_signing_key,
//   ml_dsa_verifying_key, ml_kem_decapsulation_key, ml_kem_encapsulation_key,
//   ed25519_signing_key, ed25519_verifying_key, x25519_secret_key,
//   x25519_public_key; a key file holds exactly this blob (mode 0600);
// - public bundle blob: "OSPB", version byte 1, compact bundle JSON;
// - bundle JSON: id, ml_dsa_verifying_key, ml_kem_encapsulation_key,
//   ed25519_verifying_key, x25519_public_key, created_at, expires_at (null
//   when absent).
// Byte strings are JSON arrays of integers 0..255; timestamps are RFC 3339
// UTC text with "Z". Readers ignore unknown keys and reject repeated ones.
//
// Only the ML-DSA seed xi (32 bytes) and the ML-KEM seed d || z (64 bytes)
// are kept; expanded secret keys are re-derived at every use. Key lengths are
// not checked when a key pair or bundle is read back: a wrong length shows up
// when the key is used.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pq/error.hpp"
#include "util/json.hpp"
#include "util/secret_buffer.hpp"
#include "util/time.hpp"

namespace ostrel_pq {

using Bytes = std::vector<std::uint8_t>;
using ostrel_util::SecretBytes;
using ostrel_util::Timestamp;

inline constexpr std::size_t kMlDsaSeedBytes = 32;
inline constexpr std::size_t kMlDsaVerifyingKeyBytes = 1952;
inline constexpr std::size_t kMlDsaSignatureBytes = 3309;
inline constexpr std::size_t kMlKemSeedBytes = 64;
inline constexpr std::size_t kMlKemEncapsulationKeyBytes = 1184;
inline constexpr std::size_t kEd25519KeyBytes = 32;
inline constexpr std::size_t kEd25519SignatureBytes = 64;
inline constexpr std::size_t kX25519KeyBytes = 32;
inline constexpr std::string_view kKeyIdPrefix = "ostrel-key-";

// A signed span of time for key expiry: seconds plus nanoseconds (either may
// be negative; the sum is what counts).
struct KeyTtl {
    std::int64_t seconds = 0;
    std::int64_t nanos = 0;

    static KeyTtl from_chrono(std::chrono::nanoseconds d) {
        return KeyTtl{d.count() / 1'000'000'000, d.count() % 1'000'000'000};
    }
};

class PublicKeyBundle {
public:
    std::string id;
    Bytes ml_dsa_verifying_key;
    Bytes ml_kem_encapsulation_key;
    Bytes ed25519_verifying_key;
    Bytes x25519_public_key;
    Timestamp created_at;
    std::optional<Timestamp> expires_at;

    // True when expires_at is present and strictly earlier than `now`.
    bool is_expired_at(const Timestamp& now) const noexcept { return expires_at && *expires_at < now; }
    bool is_expired() const;

    // "OSPB", 1, compact bundle JSON. Never fails with the built-in writer;
    // the error form is "public bundle encode: ...".
    std::expected<Bytes, PqError> to_bytes() const;
    // Checks length (> 4), magic, version, then decodes the JSON
    // (Serialization errors, see the file comment for texts).
    static std::expected<PublicKeyBundle, PqError> from_bytes(std::span<const std::uint8_t> blob);

    // The bare bundle JSON.
    std::string to_json() const;
    void write_json(ostrel_util::JsonWriter& w) const;
    static std::expected<PublicKeyBundle, ostrel_util::JsonError> from_json(std::string_view text);
    static std::expected<PublicKeyBundle, ostrel_util::JsonError> from_json_value(const nlohmann::json& v);

    bool operator==(const PublicKeyBundle&) const = default;
};

// JSON array of bundles (the unsigned directory file format).
std::string bundles_to_json(std::span<const PublicKeyBundle> bundles);
std::expected<std::vector<PublicKeyBundle>, ostrel_util::JsonError> bundles_from_json(std::string_view text);

class OstrelKeyPair {
public:
    // All fields, as stored; nothing is validated or recomputed.
    struct Parts {
        std::string id;
        SecretBytes ml_dsa_signing_key;
        Bytes ml_dsa_verifying_key;
        SecretBytes ml_kem_decapsulation_key;
        Bytes ml_kem_encapsulation_key;
        SecretBytes ed25519_signing_key;
        Bytes ed25519_verifying_key;
        SecretBytes x25519_secret_key;
        Bytes x25519_public_key;
        Timestamp created_at;
        std::optional<Timestamp> expires_at;
    };

    explicit OstrelKeyPair(Parts parts) : p_(std::move(parts)) {}

    // A fresh key pair without expiry.
    static std::expected<OstrelKeyPair, PqError> generate();
    // A fresh key pair expiring ttl after its creation (a negative ttl gives an
    // already expired key pair). KeyGeneration errors: "OS RNG failed: ..."
    // when the random source fails, "ttl out of range: ..." when the expiry
    // instant cannot be represented.
    static std::expected<OstrelKeyPair, PqError> generate_with_expiry(std::optional<KeyTtl> ttl);

    // False without expiry; else expires_at strictly earlier than now.
    bool is_expired() const;
    bool is_expired_at(const Timestamp& now) const noexcept { return p_.expires_at && *p_.expires_at < now; }

    PublicKeyBundle public_keys() const;

    // The secret key blob ("OSSK"). Every intermediate copy of the JSON text
    // is wiped; the result is a self-wiping buffer.
    std::expected<SecretBytes, PqError> to_secret_bytes() const;
    static std::expected<OstrelKeyPair, PqError> from_secret_bytes(std::span<const std::uint8_t> blob);

    // Replaces `path` atomically with the secret blob: written whole to a new
    // 0600 file in the same directory, fsynced, given its final mode (an
    // existing file keeps at most its owner read/write bits, a new one gets
    // 0600), renamed over `path`, directory fsynced. A failure leaves the
    // previous file untouched and no temporary file behind.
    // Serialization errors "open/write/sync/chmod key file {}: {}".
    std::expected<void, PqError> save_to_file(const std::string& path) const;
    // Reads a key file; "read key file {}: {}" or the from_secret_bytes error.
    static std::expected<OstrelKeyPair, PqError> load_from_file(const std::string& path);

    const std::string& id() const noexcept { return p_.id; }
    const SecretBytes& ml_dsa_signing_key() const noexcept { return p_.ml_dsa_signing_key; }
    const Bytes& ml_dsa_verifying_key() const noexcept { return p_.ml_dsa_verifying_key; }
    const SecretBytes& ml_kem_decapsulation_key() const noexcept { return p_.ml_kem_decapsulation_key; }
    const Bytes& ml_kem_encapsulation_key() const noexcept { return p_.ml_kem_encapsulation_key; }
    const SecretBytes& ed25519_signing_key() const noexcept { return p_.ed25519_signing_key; }
    const Bytes& ed25519_verifying_key() const noexcept { return p_.ed25519_verifying_key; }
    const SecretBytes& x25519_secret_key() const noexcept { return p_.x25519_secret_key; }
    const Bytes& x25519_public_key() const noexcept { return p_.x25519_public_key; }
    const Timestamp& created_at() const noexcept { return p_.created_at; }
    const std::optional<Timestamp>& expires_at() const noexcept { return p_.expires_at; }

private:
    Parts p_;
};

// A decoded ML-DSA-65 verifying key, ready to check signatures with the empty
// context string.
class MlDsaVerifyingKey {
public:
    enum class Failure : std::uint8_t {
        BadLength,  // the signature is not 3309 bytes
        Decode,     // the signature encoding is malformed
        Invalid,    // the signature does not verify
    };
    struct VerifyError {
        Failure failure;
        std::string message;  // the primitive's message (for Invalid)
    };

    MlDsaVerifyingKey(const MlDsaVerifyingKey&);
    MlDsaVerifyingKey& operator=(const MlDsaVerifyingKey&);
    MlDsaVerifyingKey(MlDsaVerifyingKey&&) noexcept;
    MlDsaVerifyingKey& operator=(MlDsaVerifyingKey&&) noexcept;
    ~MlDsaVerifyingKey();

    // FIPS 204 ML-DSA.Verify with the empty context.
    std::expected<void, VerifyError> verify(std::span<const std::uint8_t> message,
                                            std::span<const std::uint8_t> signature) const;

    struct Impl;

private:
    friend std::expected<MlDsaVerifyingKey, PqError> load_ml_dsa_verifying_key(std::span<const std::uint8_t>);
    explicit MlDsaVerifyingKey(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The one place where verifying-key bytes become a key: exactly 1952 bytes,
// else KeyGeneration "invalid ML-DSA VK bytes: could not convert slice to array".
std::expected<MlDsaVerifyingKey, PqError> load_ml_dsa_verifying_key(std::span<const std::uint8_t> bytes);

}  // namespace ostrel_pq
